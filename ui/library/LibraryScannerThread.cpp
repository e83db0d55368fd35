#include "engine/Logging.h"
#include "engine/convert/MediaProbe.h"
#include "platform/PathKey.h"
#include "ui/library/Database.h"
#include "ui/library/LibraryScanner.h"
#include "ui/library/Statement.h"
#include "ui/library/Transaction.h"

#include <QDateTime>
#include <QDir>
#include <QDebug>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonDocument>
#include <QJsonObject>

#include <dirent.h>
#include <pthread.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <exception>

namespace kvr::ui::library {

using kvr::platform::pathKey;

namespace {

// The id of the longest enabled folder that holds the path (the first of equal length); 0 when none does.
template <typename Folders> qint64 owningFolder(const Folders& folders, const QString& key)
{
    qint64 id = 0;
    qsizetype best = -1;
    for (const auto& folder : folders) {
        if (folder.key.size() > best && key.startsWith(folder.key)) {
            id = folder.id;
            best = folder.key.size();
        }
    }
    return id;
}

// A file name as bytes, for the log: the valid UTF-8 as text, each byte that is not part of it as \xHH.
QString escapedName(const QByteArray& name)
{
    QString shown;
    qsizetype i = 0;
    while (i < name.size()) {
        const auto lead = static_cast<uchar>(name[i]);
        const int length = lead < 0x80 ? 1
            : (lead >> 5) == 0x6       ? 2
            : (lead >> 4) == 0xe       ? 3
            : (lead >> 3) == 0x1e      ? 4
                                       : 0;
        if (length > 0 && i + length <= name.size()) {
            const QByteArray piece = name.mid(i, length);
            const QString text = QFile::decodeName(piece);
            if (QFile::encodeName(text) == piece) {
                shown += text;
                i += length;
                continue;
            }
        }
        shown += QStringLiteral("\\x%1").arg(lead, 2, 16, QLatin1Char('0'));
        ++i;
    }
    return shown;
}

void bindTextOrNull(Statement& statement, int index, const QString& value)
{
    if (value.isNull())
        statement.bindNull(index);
    else
        statement.bindText(index, value);
}

void bindNonZero(Statement& statement, int index, qint64 value)
{
    if (value == 0)
        statement.bindNull(index);
    else
        statement.bindInt64(index, value);
}

void bindReal(Statement& statement, int index, double value)
{
    if (std::isnan(value))
        statement.bindNull(index);
    else
        statement.bindDouble(index, value);
}

// True when an excluded folder holds the directory.
bool isExcluded(const std::vector<QString>& exclusions, const QString& dirKey)
{
    return std::any_of(exclusions.cbegin(), exclusions.cend(), [&](const QString& e) { return dirKey.startsWith(e); });
}

std::vector<QString> readExclusions(Database& db)
{
    std::vector<QString> exclusions;
    Statement select = db.prepare("SELECT path FROM excluded_folders");
    while (select.next())
        exclusions.push_back(pathKey(select.columnText(0)));
    return exclusions;
}

// True when another of the pass's roots holds this one.
bool insideAnotherRoot(const std::vector<QString>& roots, const QString& rootKey)
{
    return std::any_of(roots.cbegin(), roots.cend(), [&](const QString& other) {
        const QString otherKey = pathKey(other);
        return otherKey != rootKey && rootKey.startsWith(otherKey);
    });
}

// Whether the row for uri is there and already describes the file as it is; rowId becomes its id, 0 when none.
bool storedUnchanged(Statement& lookup, const QString& uri, qint64 size, qint64 mtime, qint64& rowId)
{
    lookup.reset();
    lookup.bindText(1, uri);
    rowId = 0;
    bool unchanged = false;
    if (lookup.next()) {
        rowId = lookup.columnInt64(0);
        unchanged = lookup.columnInt64(1) == size && lookup.columnInt64(2) == mtime && lookup.columnInt64(3) == 1;
    }
    lookup.reset();
    return unchanged;
}

} // namespace

// What the probe and the tags say of one file; video and audio point into info's tracks (null when none).
struct LibraryScanner::FileFacts {
    engine::MediaInfo info;
    const engine::TrackInfo* video = nullptr;
    const engine::TrackInfo* audio = nullptr;
    bool isVideo = false;
    QString fingerprint;
    Metadata meta;
    QString coverKey;
    // The tags no field reads, as compact JSON; null when there are none.
    QString extraJson;
};

struct LibraryScanner::ReadFile {
    QFileInfo file;
    QString uri;
    qint64 rowId = 0;
    FileFacts facts;
};

LibraryScanner::LibraryScanner(const QString& databasePath, const QString& coversDir, Callback progress,
    Callback finished, Probe probe, int threadNice)
    : databasePath_(databasePath)
    , coversDir_(coversDir)
    , progress_(std::move(progress))
    , finished_(std::move(finished))
    , probe_(probe ? std::move(probe) : Probe(&engine::probeMedia))
    , threadNice_(threadNice)
{
    worker_ = std::thread([this] { run(); });
}

LibraryScanner::~LibraryScanner()
{
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
        queue_.clear();
        cancel_ = true;
        paused_ = false;
    }
    wake_.notify_all();
    worker_.join();
}

void LibraryScanner::requestFullScan()
{
    {
        std::lock_guard lock(mutex_);
        queue_.clear();
        queue_.push_back(Job { true, {} });
    }
    wake_.notify_all();
}

void LibraryScanner::requestPaths(const QStringList& paths)
{
    {
        std::lock_guard lock(mutex_);
        if (!queue_.empty() && queue_.back().full)
            return;
        queue_.push_back(Job { false, paths });
    }
    wake_.notify_all();
}

void LibraryScanner::setPaused(bool paused)
{
    paused_ = paused;
    // Taking the mutex orders the change before a waiting worker's next test of the flag.
    {
        std::lock_guard lock(mutex_);
    }
    wake_.notify_all();
}

void LibraryScanner::cancel()
{
    {
        std::lock_guard lock(mutex_);
        queue_.clear();
    }
    cancel_ = true;
    paused_ = false;
    {
        std::lock_guard lock(mutex_);
    }
    wake_.notify_all();
}

void LibraryScanner::run()
{
    pthread_setname_np(pthread_self(), "kvr-libscan");
    // Nice 19 rather than SCHED_IDLE: the pass holds the database's write lock, and an idle-class holder
    // starves behind busy threads while the other writers wait out their busy time-out and fail.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), threadNice_);
    // The probe's lines for each file go to debug; a pass says what it did in one line of its own, and one for
    // each file it leaves out.
    const engine::QuietLogScope quiet;
    for (;;) {
        Job job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (stop_)
                return;
            job = std::move(queue_.front());
            queue_.pop_front();
            cancel_ = false;
        }
        try {
            scan(job);
        } catch (const std::exception& e) {
            qWarning().noquote() << "LibraryScanner: pass failed:" << e.what();
        } catch (...) {
            qWarning().noquote() << "LibraryScanner: pass failed";
        }
    }
}

void LibraryScanner::reportProgress(ScanStatus& status, bool force)
{
    const auto now = std::chrono::steady_clock::now();
    if (!force && now - lastReport_ < std::chrono::milliseconds(250))
        return;
    lastReport_ = now;
    status.paused = paused_;
    if (progress_)
        progress_(status);
}

void LibraryScanner::scan(const Job& job)
{
    Database db;
    if (!db.open(databasePath_))
        return;
    // A pass commits for every file it reads (its mark); folding the log back into the file every 1000 pages (SQLite's
    // default) wrote the same hot index pages again and again, and synced the file each time. The pass folds
    // it once more at its end.
    db.exec("PRAGMA wal_autocheckpoint=10000");
    QElapsedTimer clock;
    clock.start();

    ScanStatus status;
    status.running = true;
    reportProgress(status, true);
    db.exec("INSERT OR REPLACE INTO library_meta(key, value) VALUES('scan_pending', '1')");
    const QHash<QString, QString> quarantined = takeQuarantine(db);
    const std::vector<Folder> folders = readFolders(db);
    const std::vector<QString> exclusions = readExclusions(db);
    const std::vector<QString> roots = passRoots(job, folders);
    const QStringList files = collectFiles(roots, exclusions, status);

    QSet<QString> seen;
    seen.reserve(files.size());
    const qint64 passTime = QDateTime::currentSecsSinceEpoch();
    readFiles(db, files, quarantined, folders, passTime, seen, status);

    if (!cancel_)
        finalPhase(db, job, folders, roots, seen, passTime, status);
    endPass(db, job, clock, status);
}

std::vector<LibraryScanner::Folder> LibraryScanner::readFolders(Database& db)
{
    std::vector<Folder> folders;
    Statement select = db.prepare("SELECT id, path FROM library_folders WHERE enabled = 1");
    while (select.next())
        folders.push_back(Folder { select.columnInt64(0), pathKey(select.columnText(1)) });
    return folders;
}

std::vector<QString> LibraryScanner::passRoots(const Job& job, const std::vector<Folder>& folders)
{
    std::vector<QString> roots;
    if (job.full) {
        for (const Folder& folder : folders)
            roots.push_back(folder.key);
    } else {
        for (const QString& path : job.paths)
            roots.push_back(path);
    }
    return roots;
}

QStringList LibraryScanner::collectFiles(
    const std::vector<QString>& roots, const std::vector<QString>& exclusions, ScanStatus& status)
{
    QStringList files;
    // Files, and folders to look into: QDir::Files leaves out FIFOs and devices, on which reading the content
    // would block. Files that cannot be read are listed too, so that the walk logs leaving them out.
    const QDir::Filters filter = QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot;
    for (const QString& root : roots) {
        if (cancel_)
            break;
        if (!QFileInfo(root).isDir())
            continue;
        // A directory pass's directories may lie one inside another (changes in a folder and in its subfolder):
        // the tree is walked once, so that no file is read or counted twice.
        const QString rootKey = pathKey(root);
        if (insideAnotherRoot(roots, rootKey))
            continue;
        if (!isExcluded(exclusions, rootKey))
            leaveOutUnnamable(root, status);
        QDirIterator walk(root, filter, QDirIterator::Subdirectories);
        walkTree(walk, exclusions, files, status);
    }
    return files;
}

void LibraryScanner::walkTree(
    QDirIterator& it, const std::vector<QString>& exclusions, QStringList& files, ScanStatus& status)
{
    // The walk: cancel is honoured, pause is not. Both kinds of pass walk alike, a directory pass the tree
    // below each of its directories: a symbolic link to a folder is not entered (a link to a folder above
    // would list the library again below itself), a link to a file is read as the file.
    while (!cancel_ && it.hasNext()) {
        it.next();
        const QFileInfo entry = it.fileInfo();
        if (entry.isDir()) {
            if (!entry.isSymLink() && !entry.isHidden() && !isExcluded(exclusions, pathKey(entry.absoluteFilePath())))
                leaveOutUnnamable(entry.absoluteFilePath(), status);
            continue;
        }
        if (entry.isHidden() || !isMediaFile(entry.fileName()))
            continue;
        if (isExcluded(exclusions, pathKey(entry.absolutePath())))
            continue;
        if (!entry.isReadable()) {
            reportSkip(entry, "no permission to read it", status);
            continue;
        }
        files.push_back(QDir::toNativeSeparators(entry.absoluteFilePath()));
        ++status.found;
        reportProgress(status, false);
    }
}

void LibraryScanner::readFiles(Database& db, const QStringList& files, const QHash<QString, QString>& quarantined,
    const std::vector<Folder>& folders, qint64 passTime, QSet<QString>& seen, ScanStatus& status)
{
    // The file phase. Unchanged files are only read; each new or changed file is probed with no transaction
    // open, and the rows of the files read go in together, up to readBatch of them, in the commit that marks
    // the next file: two commits for every file cost more than its probe. A process that dies loses at most
    // the rows not yet committed, whose files the next pass finds unwritten and reads again.
    constexpr size_t readBatch = 50;
    // The groups start with one file and double: a library being filled shows its first files at once, and a
    // kill early in a pass finds them kept. Nor are rows held back for long: a pass over large videos shows
    // its files in the library as it goes.
    size_t batchLimit = 1;
    constexpr qint64 readBatchMs = 2000;
    Statement lookup = db.prepare("SELECT id, size_bytes, mtime, available FROM sources WHERE uri = ?1");
    Statement clearMarks = db.prepare(
        "DELETE FROM library_meta WHERE key = 'probing' OR key = ?1 OR (key = 'interrupted' AND value = ?2)");
    ReadFiles read;
    QElapsedTimer oldestRead;
    for (const QString& uri : files) {
        if (paused_ && !read.empty())
            commitReads(db, read, {}, folders, passTime, status);
        waitWhilePaused(status);
        if (cancel_)
            break;

        const QFileInfo file(uri);
        seen.insert(pathKey(uri));
        ++status.processed;
        qint64 rowId = 0;
        if (!needsReading(lookup, file, uri, quarantined, rowId, status)) {
            // The last file read is still marked as the one being read: its rows and the end of its mark go
            // in now, rather than leaving it to be blamed for an abnormal end while other files are looked at.
            if (!read.empty())
                commitReads(db, read, {}, folders, passTime, status);
            reportProgress(status, false);
            continue;
        }

        status.current = file.fileName();
        reportProgress(status, false);
        // The mark of the file about to be read, committed before the read: if reading it brings the process
        // down (a decoder crash on a damaged file), the next start finds the mark and skips the file instead of
        // dying on it after every start. The same commit ends the mark of the file before it.
        if (read.size() >= batchLimit || (!read.empty() && oldestRead.elapsed() >= readBatchMs)) {
            commitReads(db, read, uri, folders, passTime, status);
            batchLimit = std::min(batchLimit * 2, readBatch);
        } else {
            Statement& markProbing
                = statement(db, "INSERT OR REPLACE INTO library_meta(key, value) VALUES('probing', ?1)");
            markProbing.bindText(1, uri);
            markProbing.run();
        }
        if (read.empty())
            oldestRead.start();
        ReadFile& next = read.emplace_back();
        next.file = file;
        next.uri = uri;
        next.rowId = rowId;
        if (!gatherFacts(file, uri, next.facts, status)) {
            read.pop_back();
            // A read that wrote nothing ends its marks at once; a written file ends them with its rows.
            clearMarks.reset();
            clearMarks.bindText(1, QStringLiteral("skip:") + uri).bindText(2, uri);
            clearMarks.run();
        }
        // No yield between files: at nice 19 the thread gives way to every other one already, and a yield only
        // handed away the rest of its slice, for which it then waited longer than reading a small file takes.
    }
    // Cancelled or done: what was read is written.
    if (!read.empty())
        commitReads(db, read, {}, folders, passTime, status);
    lookup.finalize();
    clearMarks.finalize();
    status.current.clear();
}

void LibraryScanner::waitWhilePaused(ScanStatus& status)
{
    while (paused_ && !cancel_) {
        reportProgress(status, true);
        std::unique_lock lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(300), [this] { return !paused_ || cancel_; });
    }
}

bool LibraryScanner::needsReading(Statement& lookup, const QFileInfo& file, const QString& uri,
    const QHash<QString, QString>& quarantined, qint64& rowId, ScanStatus& status)
{
    const qint64 size = file.size();
    const QDateTime modified = file.fileTime(QFileDevice::FileModificationTime);
    const qint64 mtime = modified.toSecsSinceEpoch();
    if (storedUnchanged(lookup, uri, size, mtime, rowId))
        return false;
    // A file still being copied in was met too early: its directory is asked for again later. A time in
    // the future does not count, or such a file would be put off for ever.
    const qint64 age = QDateTime::currentMSecsSinceEpoch() - modified.toMSecsSinceEpoch();
    if (age >= 0 && age < settleMs) {
        const QString directory = file.absolutePath();
        if (!status.settling.contains(directory))
            status.settling.push_back(directory);
        return false;
    }
    const auto skip = quarantined.constFind(uri);
    if (skip != quarantined.cend() && *skip == QStringLiteral("%1:%2").arg(size).arg(mtime)) {
        reportSkip(file, "reading it stopped the player twice; it is read again once it changes", status);
        return false;
    }
    return true;
}

void LibraryScanner::endPass(Database& db, const Job& job, const QElapsedTimer& clock, ScanStatus& status)
{
    status.running = false;
    status.current.clear();
    // The one line of a pass: the files' own lines are the probe's debug lines and those left out.
    qInfo().noquote() << QStringLiteral(
        "LibraryScanner: %1 pass %2 in %3 s: %4 added, %5 changed, %6 removed, %7 left out")
                             .arg(job.full ? QLatin1String("full") : QLatin1String("directory"),
                                 cancel_ ? QLatin1String("cancelled") : QLatin1String("done"))
                             .arg(double(clock.elapsed()) / 1000.0, 0, 'f', 1)
                             .arg(status.added)
                             .arg(status.updated)
                             .arg(status.removed)
                             .arg(status.leftOut);
    // The last report may have been made while paused, and a resume near the end of the pass is not always
    // followed by another (they are throttled): a finished pass is not a paused one.
    status.paused = false;
    if (finished_)
        finished_(status);
    statements_.clear();
    folderEntries_.clear();
    db.exec("PRAGMA wal_checkpoint(PASSIVE)");
    db.close();
}

void LibraryScanner::reportSkip(const QFileInfo& file, const char* reason, ScanStatus& status)
{
    const QString stamp = QStringLiteral("%1:%2")
                              .arg(file.size())
                              .arg(file.fileTime(QFileDevice::FileModificationTime).toMSecsSinceEpoch());
    reportSkip(QDir::toNativeSeparators(file.absoluteFilePath()), stamp, reason, status);
}

void LibraryScanner::reportSkip(const QString& uri, const QString& fileStamp, const char* reason, ScanStatus& status)
{
    ++status.leftOut;
    const QString stamp = fileStamp + QLatin1Char(':') + QLatin1String(reason);
    const auto known = reportedSkips_.constFind(uri);
    if (known != reportedSkips_.cend() && *known == stamp)
        return;
    reportedSkips_.insert(uri, stamp);
    qWarning().noquote() << QStringLiteral("LibraryScanner: skipping %1: %2").arg(uri, QLatin1String(reason));
}

void LibraryScanner::leaveOutUnnamable(const QString& directory, ScanStatus& status)
{
    DIR* dir = ::opendir(QFile::encodeName(directory).constData());
    if (!dir)
        return;
    while (const dirent* entry = ::readdir(dir)) {
        const QByteArray name(entry->d_name);
        // Qt's own test: its directory listing leaves out exactly the names that do not survive it.
        if (name.startsWith('.') || QFile::encodeName(QFile::decodeName(name)) == name)
            continue;
        const QString shown = escapedName(name);
        struct stat info { };
        if (!isMediaFile(shown) || ::fstatat(::dirfd(dir), entry->d_name, &info, 0) != 0 || !S_ISREG(info.st_mode))
            continue;
        reportSkip(QDir::toNativeSeparators(directory + QLatin1Char('/') + shown),
            QStringLiteral("%1:%2").arg(qint64(info.st_size)).arg(qint64(info.st_mtime)),
            "its name is not valid UTF-8; rename it to read it", status);
    }
    ::closedir(dir);
}

QHash<QString, QString> LibraryScanner::takeQuarantine(Database& db)
{
    QString probing;
    QString interrupted;
    {
        Statement read = db.prepare("SELECT key, value FROM library_meta WHERE key = 'probing' OR key = 'interrupted'");
        while (read.next())
            (read.columnText(0) == QLatin1String("probing") ? probing : interrupted) = read.columnText(1);
    }
    if (!probing.isEmpty()) {
        Transaction tx(db);
        if (probing == interrupted) {
            // The second abnormal end in a row while this file was read: it is what brings the process down.
            const QFileInfo file(probing);
            const QString stamp = QStringLiteral("%1:%2")
                                      .arg(file.size())
                                      .arg(file.fileTime(QFileDevice::FileModificationTime).toSecsSinceEpoch());
            Statement skip = db.prepare("INSERT OR REPLACE INTO library_meta(key, value) VALUES(?1, ?2)");
            skip.bindText(1, QStringLiteral("skip:") + probing).bindText(2, stamp);
            tx.run(skip);
            tx.exec("DELETE FROM library_meta WHERE key = 'interrupted'");
        } else {
            // One abnormal end (a kill, a power cut) says nothing about the file that was being read: it is
            // read again, and set aside only when the next abnormal end comes while it is read once more.
            Statement mark = db.prepare("INSERT OR REPLACE INTO library_meta(key, value) VALUES('interrupted', ?1)");
            mark.bindText(1, probing);
            tx.run(mark);
        }
        tx.exec("DELETE FROM library_meta WHERE key = 'probing'");
        tx.commit();
    }

    QHash<QString, QString> skipped;
    // A key range rather than LIKE, so that the primary key's index serves it (';' follows ':').
    Statement all = db.prepare("SELECT key, value FROM library_meta WHERE key >= 'skip:' AND key < 'skip;'");
    while (all.next())
        skipped.insert(all.columnText(0).mid(5), all.columnText(1));
    return skipped;
}

void LibraryScanner::commitReads(Database& db, ReadFiles& read, const QString& nextUri,
    const std::vector<Folder>& folders, qint64 passTime, ScanStatus& status)
{
    const auto markNext = [&](Transaction& tx) {
        Statement& mark = statement(db, "INSERT OR REPLACE INTO library_meta(key, value) VALUES('probing', ?1)");
        mark.bindText(1, nextUri);
        tx.run(mark);
    };
    const auto written = [&](const ReadFile& file, bool existed) {
        if (existed)
            ++status.updated;
        else
            ++status.added;
        reportedSkips_.remove(file.uri);
    };

    std::vector<bool> existed(read.size(), false);
    {
        Transaction tx(db);
        for (size_t i = 0; i < read.size() && tx.ok(); ++i) {
            bool rowExisted = false;
            writeFile(db, tx, read[i], folders, passTime, rowExisted);
            existed[i] = rowExisted;
        }
        if (!nextUri.isEmpty())
            markNext(tx);
        if (tx.commit()) {
            for (size_t i = 0; i < read.size(); ++i)
                written(read[i], existed[i]);
            read.clear();
            return;
        }
    }
    // Something in the group failed and took the whole group back: each file on its own, then the mark.
    Statement& clearMarks = statement(
        db, "DELETE FROM library_meta WHERE key = 'probing' OR key = ?1 OR (key = 'interrupted' AND value = ?2)");
    for (const ReadFile& file : read) {
        Transaction tx(db);
        bool rowExisted = false;
        writeFile(db, tx, file, folders, passTime, rowExisted);
        if (tx.commit()) {
            written(file, rowExisted);
        } else {
            clearMarks.reset();
            clearMarks.bindText(1, QStringLiteral("skip:") + file.uri).bindText(2, file.uri);
            clearMarks.run();
        }
    }
    read.clear();
    if (!nextUri.isEmpty()) {
        Transaction tx(db);
        markNext(tx);
        tx.commit();
    }
}

void LibraryScanner::writeFile(Database& db, Transaction& tx, const ReadFile& file, const std::vector<Folder>& folders,
    qint64 passTime, bool& existed)
{
    const FileFacts& facts = file.facts;
    qint64 rowId = file.rowId;
    if (rowId == 0 && !facts.fingerprint.isEmpty())
        rowId = adoptMovedRow(db, tx, file.uri, facts.fingerprint);
    existed = rowId != 0;
    if (!existed)
        rowId = insertSource(db, tx, file.uri, passTime);
    writeSource(db, tx, rowId, file.file, file.uri, facts, folders, passTime);
    const qint64 genreId = idFor(db, "genres", "name", facts.meta.genre);
    if (facts.isVideo)
        writeVideo(db, tx, rowId, facts.meta, genreId);
    else
        writeTrack(db, tx, rowId, facts, genreId);
    writeSearch(db, tx, rowId);
    settleMarks(db, tx, file.uri);
}

bool LibraryScanner::gatherFacts(const QFileInfo& file, const QString& uri, FileFacts& facts, ScanStatus& status)
{
    facts.info = probe_(uri.toUtf8().toStdString());
    const engine::MediaInfo& info = facts.info;
    if (info.tracks.empty()) {
        reportSkip(file, "no audio or video could be read from it", status);
        return false;
    }
    for (const engine::TrackInfo& track : info.tracks) {
        if (track.kind == 0 && !facts.video)
            facts.video = &track;
        else if (track.kind == 1 && !facts.audio)
            facts.audio = &track;
    }
    facts.isVideo = facts.video != nullptr;
    facts.fingerprint = contentFingerprint(uri);
    facts.meta = readTags(file, info, facts.isVideo);
    const QString keyBase = facts.fingerprint.isEmpty() ? QString::number(qHash(uri, 0), 16) : facts.fingerprint;
    facts.coverKey
        = findCoverArt(coversDir_, file, facts.meta.album, keyBase, facts.isVideo, info.formatName, &folderEntries_);
    if (!facts.meta.extra.isEmpty())
        facts.extraJson = QString::fromUtf8(
            QJsonDocument(QJsonObject::fromVariantMap(facts.meta.extra)).toJson(QJsonDocument::Compact));
    return true;
}

qint64 LibraryScanner::adoptMovedRow(Database& db, Transaction& tx, const QString& uri, const QString& fingerprint)
{
    // A file moved or renamed keeps its row, and with it ratings, statistics and playlist entries.
    Statement& candidates = statement(db, "SELECT id, uri FROM sources WHERE content_hash = ?1 ORDER BY available");
    candidates.bindText(1, fingerprint);
    qint64 rowId = 0;
    QString oldUri;
    while (candidates.next()) {
        if (!QFileInfo::exists(candidates.columnText(1))) {
            rowId = candidates.columnInt64(0);
            oldUri = candidates.columnText(1);
            break;
        }
    }
    candidates.reset();
    if (rowId != 0) {
        Statement& rename = statement(db, "UPDATE sources SET uri = ?1 WHERE id = ?2");
        rename.bindText(1, uri).bindInt64(2, rowId);
        tx.run(rename);
        Statement& entries = statement(db, "UPDATE playlist_items SET uri = ?1, source_id = ?2 WHERE uri = ?3");
        entries.bindText(1, uri).bindInt64(2, rowId).bindText(3, oldUri);
        tx.run(entries);
    }
    return rowId;
}

qint64 LibraryScanner::insertSource(Database& db, Transaction& tx, const QString& uri, qint64 passTime)
{
    Statement& insert = statement(db, "INSERT INTO sources(uri, date_added) VALUES(?1, ?2)");
    insert.bindText(1, uri).bindInt64(2, passTime);
    return tx.run(insert) ? db.lastInsertId() : 0;
}

void LibraryScanner::writeSource(Database& db, Transaction& tx, qint64 rowId, const QFileInfo& file, const QString& uri,
    const FileFacts& facts, const std::vector<Folder>& folders, qint64 passTime)
{
    const engine::MediaInfo& info = facts.info;
    const engine::TrackInfo* video = facts.video;
    const engine::TrackInfo* audio = facts.audio;
    Statement& source = statement(db,
        "UPDATE sources SET folder_id=?2, content_hash=?3, size_bytes=?4, mtime=?5, kind=?6, duration_us=?7, "
        "format=?8, primary_codec=?9, audio_codec=?10, bitrate=?11, sample_rate=?12, channels=?13, width=?14, "
        "height=?15, fps=?16, cover_key=?17, low_confidence=?18, available=1, date_modified=?5, last_scanned=?19, "
        "extra_json=?20 WHERE id=?1");
    source.bindInt64(1, rowId);
    source.bindInt64(2, owningFolder(folders, pathKey(uri)));
    bindTextOrNull(source, 3, facts.fingerprint.isEmpty() ? QString() : facts.fingerprint);
    source.bindInt64(4, file.size());
    source.bindInt64(5, file.fileTime(QFileDevice::FileModificationTime).toSecsSinceEpoch());
    source.bindText(6, facts.isVideo ? QStringLiteral("video") : QStringLiteral("audio"));
    source.bindInt64(7, info.durationUs);
    source.bindText(8, QString::fromStdString(info.formatName));
    const engine::TrackInfo* primary = video ? video : audio;
    source.bindText(9, primary ? QString::fromStdString(primary->codec) : QStringLiteral(""));
    source.bindText(10, audio ? QString::fromStdString(audio->codec) : QStringLiteral(""));
    source.bindInt64(11, info.bitRate);
    source.bindInt64(12, audio ? audio->sampleRate : 0);
    source.bindInt64(13, audio ? audio->channels : 0);
    source.bindInt64(14, video ? video->width : 0);
    source.bindInt64(15, video ? video->height : 0);
    source.bindDouble(16, video ? video->frameRate : 0.0);
    bindTextOrNull(source, 17, facts.coverKey.isEmpty() ? QString() : facts.coverKey);
    source.bindInt64(18, facts.meta.lowConfidence ? 1 : 0);
    source.bindInt64(19, passTime);
    bindTextOrNull(source, 20, facts.extraJson);
    tx.run(source);
}

void LibraryScanner::writeVideo(Database& db, Transaction& tx, qint64 rowId, const Metadata& meta, qint64 genreId)
{
    Statement& drop = statement(db, "DELETE FROM tracks WHERE source_id = ?1");
    drop.bindInt64(1, rowId);
    tx.run(drop);
    const qint64 showId = idFor(db, "shows", "title", meta.show);
    Statement& row = statement(db,
        "INSERT OR REPLACE INTO videos(source_id, title, year, show_id, season, episode, category, director, "
        "description, genre_id) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    row.bindInt64(1, rowId);
    bindTextOrNull(row, 2, meta.title);
    bindNonZero(row, 3, meta.year);
    bindNonZero(row, 4, showId);
    bindNonZero(row, 5, meta.season);
    bindNonZero(row, 6, meta.episode);
    bindTextOrNull(row, 7, meta.category);
    bindTextOrNull(row, 8, meta.director);
    bindTextOrNull(row, 9, meta.description);
    bindNonZero(row, 10, genreId);
    tx.run(row);
}

void LibraryScanner::writeTrack(Database& db, Transaction& tx, qint64 rowId, const FileFacts& facts, qint64 genreId)
{
    const Metadata& meta = facts.meta;
    Statement& drop = statement(db, "DELETE FROM videos WHERE source_id = ?1");
    drop.bindInt64(1, rowId);
    tx.run(drop);
    const qint64 artistId = idFor(db, "artists", "name", meta.artist);
    const qint64 albumArtistId = meta.albumArtist.isEmpty() ? artistId : idFor(db, "artists", "name", meta.albumArtist);
    const qint64 albumId = albumFor(db, tx, meta, albumArtistId, facts.coverKey);
    Statement& row = statement(db,
        "INSERT OR REPLACE INTO tracks(source_id, title, artist_id, album_artist_id, album_id, track_number, "
        "disc_number, track_total, disc_total, year, genre_id, composer, comment, lyrics, bpm, compilation, "
        "rg_track, rg_album) VALUES(?1,?2,?3,?4,?5,?6,?7,?8,?9,?10,?11,?12,?13,?14,?15,?16,?17,?18)");
    row.bindInt64(1, rowId);
    bindTextOrNull(row, 2, meta.title);
    bindNonZero(row, 3, artistId);
    bindNonZero(row, 4, albumArtistId);
    bindNonZero(row, 5, albumId);
    bindNonZero(row, 6, meta.trackNumber);
    bindNonZero(row, 7, meta.discNumber);
    bindNonZero(row, 8, meta.trackTotal);
    bindNonZero(row, 9, meta.discTotal);
    bindNonZero(row, 10, meta.year);
    bindNonZero(row, 11, genreId);
    bindTextOrNull(row, 12, meta.composer);
    bindTextOrNull(row, 13, meta.comment);
    bindTextOrNull(row, 14, meta.lyrics);
    bindNonZero(row, 15, meta.bpm);
    row.bindInt64(16, meta.compilation ? 1 : 0);
    bindReal(row, 17, meta.rgTrack);
    bindReal(row, 18, meta.rgAlbum);
    tx.run(row);
    writeTrackArtists(db, tx, rowId, meta, artistId);
}

qint64 LibraryScanner::albumFor(
    Database& db, Transaction& tx, const Metadata& meta, qint64 albumArtistId, const QString& coverKey)
{
    qint64 albumId = 0;
    if (!meta.album.isEmpty()) {
        Statement& find = statement(db, "SELECT id FROM albums WHERE title = ?1 AND IFNULL(primary_artist_id,0) = ?2");
        find.bindText(1, meta.album).bindInt64(2, albumArtistId);
        if (find.next())
            albumId = find.columnInt64(0);
        find.reset();
        if (albumId == 0) {
            Statement& insert = statement(db, "INSERT INTO albums(title, primary_artist_id, year) VALUES(?1, ?2, ?3)");
            insert.bindText(1, meta.album);
            bindNonZero(insert, 2, albumArtistId);
            bindNonZero(insert, 3, meta.year);
            if (tx.run(insert))
                albumId = db.lastInsertId();
        }
    }
    if (albumId != 0 && !coverKey.isEmpty()) {
        Statement& cover = statement(db, "UPDATE albums SET cover_key = ?1 WHERE id = ?2 AND cover_key IS NULL");
        cover.bindText(1, coverKey).bindInt64(2, albumId);
        tx.run(cover);
    }
    return albumId;
}

void LibraryScanner::writeTrackArtists(
    Database& db, Transaction& tx, qint64 rowId, const Metadata& meta, qint64 artistId)
{
    Statement& clear = statement(db, "DELETE FROM track_artists WHERE track_source_id = ?1");
    clear.bindInt64(1, rowId);
    tx.run(clear);
    const auto addRole = [&](qint64 artist, const char* role) {
        Statement& add
            = statement(db, "INSERT OR IGNORE INTO track_artists(track_source_id, artist_id, role) VALUES(?1, ?2, ?3)");
        add.bindInt64(1, rowId).bindInt64(2, artist).bindText(3, QString::fromLatin1(role));
        tx.run(add);
    };
    if (artistId != 0)
        addRole(artistId, "performer");
    if (!meta.composer.isEmpty())
        addRole(idFor(db, "artists", "name", meta.composer), "composer");
}

void LibraryScanner::writeSearch(Database& db, Transaction& tx, qint64 rowId)
{
    Statement& dropSearch = statement(db, "DELETE FROM search WHERE rowid = ?1");
    dropSearch.bindInt64(1, rowId);
    tx.run(dropSearch);
    Statement& search = statement(db,
        "INSERT INTO search(rowid, title, artist, album, composer, genre, tags, comment, path) SELECT i.id, i.title, "
        "IFNULL(i.artist,'') || ' ' || IFNULL(i.album_artist,'') || ' ' || IFNULL(i.show,''), i.album, i.composer, "
        "i.genre, (SELECT group_concat(tag, ' ') FROM source_tags WHERE source_id = i.id), i.comment, i.uri FROM "
        "items i WHERE i.id = ?1");
    search.bindInt64(1, rowId);
    tx.run(search);
}

void LibraryScanner::settleMarks(Database& db, Transaction& tx, const QString& uri)
{
    // The file was read whole: its marks go with its rows, so no moment exists in which the rows are there
    // and the file still counts as the one that stopped the process.
    Statement& settled = statement(
        db, "DELETE FROM library_meta WHERE key = 'probing' OR key = ?1 OR (key = 'interrupted' AND value = ?2)");
    settled.bindText(1, QStringLiteral("skip:") + uri).bindText(2, uri);
    tx.run(settled);
}

qint64 LibraryScanner::idFor(Database& db, const char* table, const char* column, const QString& value)
{
    if (value.isEmpty())
        return 0;
    Statement& find = statement(
        db, QStringLiteral("SELECT id FROM %1 WHERE %2 = ?1").arg(QLatin1String(table), QLatin1String(column)));
    find.bindText(1, value);
    if (find.next()) {
        const qint64 id = find.columnInt64(0);
        find.reset();
        return id;
    }
    find.reset();
    Statement& insert = statement(
        db, QStringLiteral("INSERT INTO %1(%2) VALUES(?1)").arg(QLatin1String(table), QLatin1String(column)));
    insert.bindText(1, value);
    return insert.run() ? db.lastInsertId() : 0;
}

Statement& LibraryScanner::statement(Database& db, const QString& sql)
{
    auto it = statements_.find(sql);
    if (it == statements_.end())
        it = statements_.emplace(sql, db.prepare(sql)).first;
    it->second.reset();
    return it->second;
}

void LibraryScanner::finalPhase(Database& db, const Job& job, const std::vector<Folder>& folders,
    const std::vector<QString>& rootPaths, const QSet<QString>& seen, qint64 passTime, ScanStatus& status)
{
    // Folders that are offline (an unplugged drive, an unmounted share): their rows are kept as they are
    // until the folder is back, rather than every item being marked missing.
    std::vector<Folder> offline;
    for (const Folder& folder : folders) {
        if (!QFileInfo(folder.key).isDir())
            offline.push_back(folder);
    }
    std::vector<QString> rootKeys;
    for (const QString& root : rootPaths)
        rootKeys.push_back(pathKey(root));

    Transaction tx(db);
    std::vector<qint64> missing;
    {
        Statement rows = db.prepare("SELECT id, uri FROM sources WHERE available = 1");
        while (rows.next()) {
            const QString uri = rows.columnText(1);
            const QString key = pathKey(uri);
            const qint64 owner = owningFolder(folders, key);
            bool candidate = false;
            if (owner != 0) {
                candidate
                    = std::none_of(offline.begin(), offline.end(), [&](const Folder& f) { return f.id == owner; });
            } else {
                candidate = true;
            }
            if (candidate && !job.full) {
                const QString dirKey = pathKey(QFileInfo(uri).absolutePath());
                candidate = std::find(rootKeys.begin(), rootKeys.end(), dirKey) != rootKeys.end();
            }
            if (candidate && !seen.contains(key))
                missing.push_back(rows.columnInt64(0));
        }
    }
    Statement mark = db.prepare("UPDATE sources SET available = 0 WHERE id = ?1");
    for (qint64 id : missing) {
        mark.reset();
        mark.bindInt64(1, id);
        tx.run(mark);
    }
    mark.finalize();
    tx.exec("DELETE FROM albums WHERE id NOT IN (SELECT DISTINCT album_id FROM tracks WHERE album_id IS NOT NULL)");
    if (job.full) {
        Statement stamp = db.prepare("UPDATE library_folders SET last_full_scan = ?1");
        stamp.bindInt64(1, passTime);
        tx.run(stamp);
        tx.exec("INSERT OR REPLACE INTO library_meta(key, value) VALUES('scan_pending', '0')");
        // A whole pass ended normally: the abnormal ends before it are no longer in a row with the next.
        tx.exec("DELETE FROM library_meta WHERE key = 'interrupted'");
    }
    if (tx.commit())
        status.removed = static_cast<int>(missing.size());
}

} // namespace kvr::ui::library
