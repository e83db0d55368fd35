#pragma once

#include "engine/MediaInfo.h"
#include "ui/library/ScanStatus.h"
#include "ui/library/Statement.h"

#include <QDateTime>
#include <QFileInfo>
#include <QHash>
#include <QImage>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <limits>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class QDirIterator;
class QElapsedTimer;

namespace kvr::ui::library {

// True when the file name's last extension, in any letter case, is one the library collects.
bool isMediaFile(const QString& path);

// A cheap content identity: "<size>-<16 hex digits>" over the first and last 64 KiB. Null for a URL (never
// opened), or a file that cannot be opened.
QString contentFingerprint(const QString& path);

class Database;
class Transaction;

// Keeps the library database in step with the files in the library folders, on a worker thread of its own
// ("kvr-libscan") with its own connection. Requests may come from any thread; both callbacks run on the
// worker. The static members (tags, names, covers) are pure functions of their arguments and the files they
// name, safe on any thread.
class LibraryScanner {
public:
    using Callback = std::function<void(const ScanStatus&)>;
    using Probe = std::function<engine::MediaInfo(const std::string& utf8Path)>;

    // One queued request: a full scan of every enabled folder, or a scan of the given directories.
    struct Job {
        bool full = false;
        QStringList paths;
    };

    // The worker's nice value: the lowest priority, so a pass never slows playback or the window.
    static constexpr int kThreadNice = 19;

    // Starts the worker at threadNice (never below the process's own); an empty probe means engine::probeMedia.
    LibraryScanner(const QString& databasePath, const QString& coversDir, Callback progress, Callback finished,
        Probe probe = {}, int threadNice = kThreadNice);
    // Stops the worker: the pass in progress ends at its next check and still reports its end.
    ~LibraryScanner();

    LibraryScanner(const LibraryScanner&) = delete;
    LibraryScanner& operator=(const LibraryScanner&) = delete;

    // Replaces every queued job with one full scan.
    void requestFullScan();
    // Queues a scan of these directories, unless a full scan is queued last already.
    void requestPaths(const QStringList& paths);
    // Honoured between files of a pass.
    void setPaused(bool paused);
    // Drops queued jobs and ends the running pass at its next check.
    void cancel();

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
    // keyBase is the file's fingerprint (or its path's hash) and names embedded pictures and frames; formatHint,
    // the container the probe found, spares opening the file a second time as an unknown format. With
    // folderEntries, each folder is listed once into it (folder path -> entry names) and images beside the file
    // are looked for there rather than asked of the file system name by name.
    using FolderEntries = QHash<QString, QSet<QString>>;
    static QString findCoverArt(const QString& coversDir, const QFileInfo& file, const QString& albumTitle,
        const QString& keyBase, bool isVideo, const std::string& formatHint = {},
        FolderEntries* folderEntries = nullptr);

    // The stored cover of a key ("<dir>/<key>.jpg"), or its copy of that size ("<dir>/<key>_<size>.jpg").
    static QString coverPath(const QString& coversDir, const QString& key, int size = 0);

    // The key of an image file in a media folder: it changes when the image is replaced or touched.
    static QString folderImageKey(const QString& absolutePath, qint64 modifiedSecs);

    // The one JPEG writer of the cover cache: the file appears whole under its name, or not at all (a crash
    // during the write leaves no truncated cover to be reused later). False, with one log line, on failure.
    static bool writeJpeg(const QImage& image, const QString& path, int quality);

    // Removes what a write into the cover cache that never finished left behind: QSaveFile's temporaries
    // beside a cover or thumbnail name ("<key>.jpg.XXXXXX", "<key>_<size>.jpg.XXXXXX", six letters) last
    // written before `before`, so that a write still under way is left alone. Returns how many went.
    static int removeUnfinishedCovers(const QString& coversDir, const QDateTime& before);

    // A file whose modification time lies this little in the past may still be growing: it is left for later.
    static constexpr qint64 settleMs = 5000;

private:
    struct Folder {
        qint64 id = 0;
        QString key;
    };

    void run();
    void scan(const Job& job);
    // The steps of a pass, in order: the enabled folders, the directories to walk, the media files found in
    // them, the read of each file that is new or changed, and the pass's end (its line, report and checkpoint).
    static std::vector<Folder> readFolders(Database& db);
    static std::vector<QString> passRoots(const Job& job, const std::vector<Folder>& folders);
    QStringList collectFiles(
        const std::vector<QString>& roots, const std::vector<QString>& exclusions, ScanStatus& status);
    void walkTree(QDirIterator& it, const std::vector<QString>& exclusions, QStringList& files, ScanStatus& status);
    void readFiles(Database& db, const QStringList& files, const QHash<QString, QString>& quarantined,
        const std::vector<Folder>& folders, qint64 passTime, QSet<QString>& seen, ScanStatus& status);
    void waitWhilePaused(ScanStatus& status);
    // False when the file is to be left alone this pass: unchanged, still settling, or set aside. rowId
    // becomes the id of its row, 0 when it has none.
    bool needsReading(Statement& lookup, const QFileInfo& file, const QString& uri,
        const QHash<QString, QString>& quarantined, qint64& rowId, ScanStatus& status);
    void endPass(Database& db, const Job& job, const QElapsedTimer& clock, ScanStatus& status);
    void reportProgress(ScanStatus& status, bool force);
    // FileFacts is what the probe and the tags said of a file; gatherFacts fills it (false, with the file counted
    // as left out, when no track could be read).
    struct FileFacts;
    bool gatherFacts(const QFileInfo& file, const QString& uri, FileFacts& facts, ScanStatus& status);
    // A file read whose rows are not written yet; rowId is 0 when no row had its path.
    struct ReadFile;
    using ReadFiles = std::deque<ReadFile>;
    // Writes the rows of the files read (emptying `read`) and, when nextUri is not empty, marks it as the file
    // being read, in one commit. Should that commit fail, each file is written in one of its own and the mark
    // in a third, so that one bad file loses only its own rows.
    void commitReads(Database& db, ReadFiles& read, const QString& nextUri, const std::vector<Folder>& folders,
        qint64 passTime, ScanStatus& status);
    // The rows of one file, with the end of its quarantine marks, in tx; existed tells an update from an add.
    void writeFile(Database& db, Transaction& tx, const ReadFile& file, const std::vector<Folder>& folders,
        qint64 passTime, bool& existed);
    // The write steps of writeFile.
    // The row of a file with the same content whose path no longer exists, moved to uri; 0 when none.
    qint64 adoptMovedRow(Database& db, Transaction& tx, const QString& uri, const QString& fingerprint);
    // A new row for uri; 0 when it could not be written.
    qint64 insertSource(Database& db, Transaction& tx, const QString& uri, qint64 passTime);
    void writeSource(Database& db, Transaction& tx, qint64 rowId, const QFileInfo& file, const QString& uri,
        const FileFacts& facts, const std::vector<Folder>& folders, qint64 passTime);
    void writeVideo(Database& db, Transaction& tx, qint64 rowId, const Metadata& meta, qint64 genreId);
    void writeTrack(Database& db, Transaction& tx, qint64 rowId, const FileFacts& facts, qint64 genreId);
    // The album's id, found or added, given the file's cover when it has none yet; 0 without an album.
    qint64 albumFor(Database& db, Transaction& tx, const Metadata& meta, qint64 albumArtistId, const QString& coverKey);
    void writeTrackArtists(Database& db, Transaction& tx, qint64 rowId, const Metadata& meta, qint64 artistId);
    void writeSearch(Database& db, Transaction& tx, qint64 rowId);
    // Ends the file's quarantine marks with its rows.
    void settleMarks(Database& db, Transaction& tx, const QString& uri);
    // A "probing" mark left behind by an earlier pass names the file being read when that process ended
    // abnormally. The first time it is only remembered ("interrupted"); when the next abnormal end comes while
    // the same file is read again, it is set aside: skipped from then on while its size and modification time
    // stay the same. Returns the files set aside as uri -> "<size>:<mtime>".
    static QHash<QString, QString> takeQuarantine(Database& db);
    void finalPhase(Database& db, const Job& job, const std::vector<Folder>& folders,
        const std::vector<QString>& rootPaths, const QSet<QString>& seen, qint64 passTime, ScanStatus& status);
    qint64 idFor(Database& db, const char* table, const char* column, const QString& value);
    // The pass's prepared statement of this text, reset for another round. Preparing the same texts again for
    // every file cost more than the probe of a small file.
    Statement& statement(Database& db, const QString& sql);
    // Counts a file the pass leaves out, with one log line giving the reason; said again only when the file
    // or the reason has changed, so that the passes a directory's changes set off do not repeat it.
    void reportSkip(const QFileInfo& file, const char* reason, ScanStatus& status);
    void reportSkip(const QString& uri, const QString& fileStamp, const char* reason, ScanStatus& status);
    // Leaves out, counted and logged, the media files in the directory whose names are not valid UTF-8: Qt's
    // listings skip them without a word, and no text can name them in the library.
    void leaveOutUnnamable(const QString& directory, ScanStatus& status);

    QString databasePath_;
    QString coversDir_;
    Callback progress_;
    Callback finished_;
    Probe probe_;
    const int threadNice_;
    // Guards queue_ and stop_.
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Job> queue_;
    bool stop_ = false;
    std::atomic<bool> paused_ { false };
    std::atomic<bool> cancel_ { false };
    // Written and read by the worker only.
    std::chrono::steady_clock::time_point lastReport_ = std::chrono::steady_clock::now();
    // The files left out and logged, as path -> "<size>:<mtime ms>:<reason>"; a file read later is forgotten.
    QHash<QString, QString> reportedSkips_;
    // The folders the running pass has listed for cover images, each listed once per pass.
    FolderEntries folderEntries_;
    // The statements of the running pass, by their text; finalized before its connection closes.
    std::map<QString, Statement> statements_;
    std::thread worker_;
};

} // namespace kvr::ui::library
