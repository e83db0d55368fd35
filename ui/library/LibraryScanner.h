#pragma once

#include "engine/MediaInfo.h"

#include <QFileInfo>
#include <QImage>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <limits>

namespace kvr::ui::library {

// True when the file name's last extension, in any letter case, is one the library collects.
bool isMediaFile(const QString& path);

// A cheap content identity: "<size>-<16 hex digits>" over the first and last 64 KiB. Null for a URL (never
// opened), or a file that cannot be opened.
QString contentFingerprint(const QString& path);

// What the scan pass needs of one media file apart from the database: its tags and name, and its cover. Every
// member is a pure function of its arguments and the files it names, safe on any thread.
class LibraryScanner {
public:
    // The values of one file. Text fields stay null when nothing was found (stored as NULL).
    struct Metadata {
        QString title;
        QString artist;
        QString albumArtist;
        QString album;
        QString genre;
        QString composer;
        QString comment;
        QString lyrics;
        QString show;
        QString director;
        QString description;
        int year = 0;
        int trackNumber = 0;
        int trackTotal = 0;
        int discNumber = 0;
        int discTotal = 0;
        int bpm = 0;
        int season = 0;
        int episode = 0;
        bool compilation = false;
        double rgTrack = std::numeric_limits<double>::quiet_NaN();
        double rgAlbum = std::numeric_limits<double>::quiet_NaN();
        bool lowConfidence = false;
        // "episode", "movie" or "other"; videos only.
        QString category;
        // Tags no field reads, under their keys as written in the file.
        QVariantMap extra;
    };

    // The record from the probe's tags, completed from the file name where the tags leave gaps.
    static Metadata readTags(const QFileInfo& file, const engine::MediaInfo& info, bool isVideo);

    // Fills the empty fields of `meta` from the file's base name and folder names, marking it low-confidence.
    static void parseFileName(const QFileInfo& file, bool isVideo, Metadata& meta);

    // The trimmed value of the first key (letter case ignored) whose first tag has a value; null when none has.
    static QString firstTag(const engine::MediaInfo& info, const QStringList& keys);

    // The digits at the start of the text after optional white space; 0 when there are none or too many.
    static int leadingNumber(const QString& text);

    // The digits after the first "/" (white space allowed between); 0 when there are none.
    static int totalAfterSlash(const QString& text);

    // Dots and underscores become spaces, runs of white space one space, both ends trimmed.
    static QString cleanName(const QString& text);

    // Finds the file's cover (embedded picture, image beside it, or for a video a frame of it), stores it as a
    // JPEG in coversDir unless one of its key is there already, and returns the key; empty when none was found.
    // keyBase is the file's fingerprint (or its path's hash) and names embedded pictures and frames.
    static QString findCoverArt(const QString& coversDir, const QFileInfo& file, const QString& albumTitle,
        const QString& keyBase, bool isVideo);

    // The stored cover of a key ("<dir>/<key>.jpg"), or its copy of that size ("<dir>/<key>_<size>.jpg").
    static QString coverPath(const QString& coversDir, const QString& key, int size = 0);

    // The key of an image file in a media folder: it changes when the image is replaced or touched.
    static QString folderImageKey(const QString& absolutePath, qint64 modifiedSecs);

    // The one JPEG writer of the cover cache: the file appears whole under its name, or not at all (a crash
    // during the write leaves no truncated cover to be reused later). False, with one log line, on failure.
    static bool writeJpeg(const QImage& image, const QString& path, int quality);
};

} // namespace kvr::ui::library
