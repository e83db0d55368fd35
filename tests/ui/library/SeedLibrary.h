#pragma once

#include <QString>

namespace kvr::test {

// A small library written into a fresh file through the real schema, the way the scanner writes it: the
// starting point of every library test. Nothing is created on disk but the database; every uri lies below
// the media root given to write().
//
// Folders (library_folders, both enabled): 1 <root>/Music, 2 <root>/Videos.
// Audio (26, under Music/):
//   The Lanterns / Northern Lights (2019, Rock, flac): CD1 tracks 1-3, CD2 tracks 1-2; composer Ada Lantern;
//     album cover "cover-northern-lights"; "Aurora" rated 5 stars, played 12 times, tags favourite, road trip.
//   Mira Sol / Harbour Songs (2021, Jazz, mp3 320k): tracks 1-5; "Café Noir" (track 3, the only "Café" in
//     the library) rated 4, played 7 times, tags favourite, Chill; track 5 "Lost Chord" is unavailable.
//   Various Artists / Summer Mix (2023, Electronic, aac): three tracks by DJ Kite, Mira Sol and Neon Fox,
//     added 3 days ago.
//   Grandpa Joe / Old Tapes (1972, Folk, pcm_s16le): 2 tracks. Nordlys / Fjord (2017, Ambient, opus):
//     4 tracks. Trio Azul / Kind of Orange (2010, Jazz, alac, composer Ana Ruiz): 3 tracks.
//   Singles/: "demo take" (no artist, album, year or genre; low confidence), "Rain Loop" (Ambient, no artist),
//     "track05" by The Lanterns with the user's title "Evening Tide", "Interview with Mira" (comment).
// Video (14, under Videos/):
//   Deep Sea (2020, Documentary, hevc): S1 E1-E3, S2 E1-E2. Kitchen Diaries: episodes 1-3 without season.
//   Movies: The Long Road (2015, rated 5, played), Paper Moon Rising (2022, added 5 days ago), Glass City
//     (1999), Night Shift (2011), Vanished (2005, unavailable). Home/birthday 2024 (no category).
// Playlist 1 "Road Trip": Aurora, The Long Road, Kite Runner, <root>/Elsewhere/not in library.mp3 (outside
//   the library), Lost Chord (unavailable).
// Times are relative to the moment of writing ("added N days ago"); everything else is fixed.
class SeedLibrary {
public:
    static constexpr int itemCount = 40;
    static constexpr int audioCount = 26;
    static constexpr int videoCount = 14;
    static constexpr int unavailableCount = 2;

    // Writes the library into a new file at databasePath (which must not exist yet); false on any failure.
    static bool write(const QString& databasePath, const QString& mediaRoot);

    // The uri an item below the media root is stored with.
    static QString uri(const QString& mediaRoot, const QString& relativePath);
};

} // namespace kvr::test
