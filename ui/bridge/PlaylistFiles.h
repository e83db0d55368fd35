#pragma once

// What a piece of added text names (local file, folder, playlist file, network address), how it turns into
// playlist entries, and the M3U/M3U8/PLS files the player reads and writes. Pure functions on the calling
// thread; they never show anything, so the caller decides what to tell the user.

#include <QString>
#include <QStringList>

namespace kvr::ui {

// At most this many files are taken from one added folder; the walk stops there.
inline constexpr int folderListingLimit = 10000;

// Media file extensions, lower case, without dots.
const QStringList& supportedExtensions();

// The schemes a network address may use: "http", "https", "rtsp", … (lower case).
const QStringList& streamSchemes();

// True for a network address: "://" at index 2 or later, not a "file:" URL, and only a URL scheme before
// the separator. A text starting with "/" is always a local path ("/music/a://b.mp3").
bool isNetworkUrl(const QString& text);

// True when the trimmed text parses as a URL whose scheme, ignoring case, is one of streamSchemes().
bool isAllowedStreamUrl(const QString& text);

// True when an entry may be opened: a network address with an allowed scheme, or an absolute local path.
// Anything else (another scheme, "pipe:0", a relative path) must never reach the demuxer.
bool isAllowedEntry(const QString& entry);

// Turns typed, dropped or passed text into an entry: quotes and white space removed, "file:" URLs made
// local paths, network addresses kept as typed, local paths made absolute with native separators.
QString normalizeEntryPath(const QString& text);

// The local file of a file URL (as file dialogs hand them over); otherwise normalizeEntryPath(text).
QString toLocalPath(const QString& text);

// True when the file name's suffix is "m3u", "m3u8" or "pls", ignoring case.
bool isPlaylistFile(const QString& path);

// The entries of a M3U, M3U8 or PLS file (PLS by suffix), relative ones resolved against the file's
// folder. Empty when the file cannot be read. Nothing is checked for existence or allowed schemes. The text
// is UTF-8, or UTF-16 after its byte-order mark; lines holding a NUL are left out with one logged warning.
QStringList readPlaylistFile(const QString& path);

// The entries one normalised path stands for: the address itself, the media files of a folder (walked
// recursively, at most folderListingLimit, sorted naturally), the entries of a playlist file, or the path.
// Entries that isAllowedEntry refuses are left out and, when refused is given, appended to it so the
// caller can name them.
QStringList expandEntry(const QString& path, QStringList* refused = nullptr);

// The media files under folder as the walk meets them, at most limit; the walk ends once limit are found.
// When visited is given it receives the number of files the walk looked at.
QStringList findMediaFiles(const QString& folder, int limit, int* visited = nullptr);

// Sorts paths in place the way people expect ("track2" before "track10", case ignored), by the current
// locale, or English when the process runs under the C/POSIX locale.
void sortNaturally(QStringList& paths);

// Writes entries as an M3U8 playlist (UTF-8, LF line ends) through an atomic save: the previous file stays
// intact unless the whole new one was written. A name without suffix gets ".m3u8". False for an empty path
// or when the file could not be written or committed.
bool writePlaylistFile(const QString& path, const QStringList& entries);

} // namespace kvr::ui
