#include "ui/library/LibraryBackups.h"

#include "ui/library/Library.h"
#include "ui/library/Statement.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUrl>

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <utility>
#include <vector>

namespace kvr::ui::library {

namespace {

constexpr qint64 compressChunk = 1 << 20;
constexpr unsigned restoreChunk = 1 << 16;
constexpr qint64 secondsPerDay = 86400;

const QString backupPattern = QStringLiteral("library-*.db.gz");
// A backup still being written. Never listed or pruned; the next backup removes what a dead one left.
const QString partPattern = QStringLiteral("library-*.db.gz.part");

BackupMomentHook momentHook = nullptr;
GzipCloseHook closeHook = nullptr;

void reach(BackupMoment moment)
{
    if (momentHook)
        momentHook(moment);
}

// One gzip stream. The result of close() is the verdict: gzwrite only buffers, so a full disk shows when
// the close flushes, and a truncated stream reads as a clean end until the close reports it.
class GzipStream {
public:
    GzipStream() = default;
    ~GzipStream() { close(); }
    GzipStream(const GzipStream&) = delete;
    GzipStream& operator=(const GzipStream&) = delete;

    bool open(const QString& path, const char* mode)
    {
        file_ = gzopen(QFile::encodeName(path).constData(), mode);
        return file_ != nullptr;
    }
    // The bytes taken; fewer than size on an error.
    int write(const char* data, unsigned size) { return gzwrite(file_, data, size); }
    // The bytes read; 0 at the end of the data, negative on an error.
    int read(char* data, unsigned size) { return gzread(file_, data, size); }
    // Z_OK only when everything written reached the file, or the stream read ended where its data ends.
    int close()
    {
        if (!file_)
            return Z_STREAM_ERROR;
        gzFile file = std::exchange(file_, nullptr);
        return closeHook ? closeHook(file) : gzclose(file);
    }

private:
    gzFile file_ = nullptr;
};

bool renameOver(const QString& from, const QString& to)
{
    // rename(2) replaces an existing target in one step; QFile::rename refuses one.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

bool removeIfPresent(const QString& path)
{
    return !QFileInfo::exists(path) || QFile::remove(path);
}

// Flushes a finished file to the disk before it takes a name that promises it is whole.
bool syncFile(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::fsync(fd) == 0;
    ::close(fd);
    return synced;
}

// The online copy with the companions SQLite may leave beside it. A rollback journal left by a copy that
// died would be taken for a hot journal of the next copy and played back into it.
void removeCopy(const QString& tmp)
{
    for (const char* suffix : { "", "-journal", "-wal", "-shm" })
        QFile::remove(tmp + QLatin1String(suffix));
}

QFileInfoList backupFiles(const QString& dir, QDir::SortFlags sort)
{
    return QDir(dir).entryInfoList({ backupPattern }, QDir::Files | QDir::CaseSensitive, sort);
}

// The online copy at tmp as one gzip stream at level 6 into part.
bool compress(const QString& tmp, const QString& part)
{
    QFile in(tmp);
    if (!in.open(QIODevice::ReadOnly)) {
        qWarning() << "library: backup failed: cannot read" << tmp << in.errorString();
        return false;
    }
    GzipStream out;
    if (!out.open(part, "wb6e")) {
        qWarning() << "library: backup failed: cannot create" << part;
        return false;
    }
    std::vector<char> chunk(compressChunk);
    bool ok = true;
    bool first = true;
    for (;;) {
        const qint64 got = in.read(chunk.data(), compressChunk);
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (out.write(chunk.data(), static_cast<unsigned>(got)) != got) {
            ok = false;
            break;
        }
        if (std::exchange(first, false))
            reach(BackupMoment::Compressing);
    }
    const int closed = out.close();
    if (ok && closed != Z_OK)
        qWarning() << "library: backup failed: closing" << part << "gave zlib error" << closed;
    else if (!ok)
        qWarning() << "library: backup failed: writing" << part;
    return ok && closed == Z_OK;
}

QString firstText(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = nullptr;
    QString text;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
        if (const auto* value = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0)))
            text = QString::fromUtf8(value, sqlite3_column_bytes(statement, 0));
    }
    sqlite3_finalize(statement);
    return text;
}

} // namespace

bool checkLibraryFile(const QString& path, QString* why)
{
    // Immutable: read without locks, log or shared-memory index, so the check leaves nothing beside the file.
    const QByteArray uri = QUrl::fromLocalFile(path).toEncoded() + "?immutable=1";
    sqlite3* db = nullptr;
    QString reason;
    if (sqlite3_open_v2(uri.constData(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, nullptr) != SQLITE_OK) {
        reason = QStringLiteral("cannot open it: %1").arg(QString::fromUtf8(db ? sqlite3_errmsg(db) : ""));
    } else if (const QString verdict = firstText(db, "PRAGMA integrity_check"); verdict != QLatin1String("ok")) {
        reason = QStringLiteral("integrity_check: %1")
                     .arg(verdict.isEmpty() ? QString::fromUtf8(sqlite3_errmsg(db)) : verdict.left(200));
    } else if (const QString version = firstText(db, "SELECT value FROM library_meta WHERE key='schema_version'");
               version != QString::number(Database::schemaVersion)) {
        reason = QStringLiteral("schema version %1").arg(version.isEmpty() ? QStringLiteral("none") : version);
    }
    sqlite3_close(db);
    if (why)
        *why = reason;
    return reason.isEmpty();
}

void setBackupMomentHook(BackupMomentHook hook)
{
    momentHook = hook;
}

void setGzipCloseHook(GzipCloseHook hook)
{
    closeHook = hook;
}

void swapInRestoredDatabase(const QString& dbPath)
{
    // Whatever a restore that died mid-way wrote is of no use to anyone.
    QFile::remove(dbPath + QStringLiteral(".restore.part"));
    const QString restore = dbPath + QStringLiteral(".restore");
    if (!QFileInfo::exists(restore))
        return;
    const QString wal = dbPath + QStringLiteral("-wal");
    const QString kept = dbPath + QStringLiteral(".pre-restore");
    const QString keptWal = kept + QStringLiteral("-wal");

    bool movedLive = false;
    if (QFileInfo::exists(dbPath)) {
        // An older kept copy goes with its log: left behind, that log would pair with the copy replacing it.
        if (!removeIfPresent(keptWal) || !removeIfPresent(kept + QStringLiteral("-shm")) || !renameOver(dbPath, kept)) {
            qWarning() << "library: cannot put the library aside for the restore; it stays in use";
            return;
        }
        movedLive = true;
    }
    // Its own step, so that a start that died right after the database moved still moves the log after it.
    bool movedWal = false;
    if (QFileInfo::exists(wal)) {
        if (!renameOver(wal, keptWal)) {
            // Never leave the log beside the restored file: put the database back with it.
            renameOver(kept, dbPath);
            qWarning() << "library: cannot put the library's log aside for the restore; the library stays in use";
            return;
        }
        movedWal = true;
    }
    QFile::remove(dbPath + QStringLiteral("-shm"));
    if (!renameOver(restore, dbPath)) {
        if (movedLive || movedWal) {
            renameOver(kept, dbPath);
            if (movedWal)
                renameOver(keptWal, wal);
        }
        qWarning() << "library: cannot move the restored library into place; the next start tries again";
        return;
    }
    qInfo() << "library: restored the prepared backup; the previous library is kept as" << kept;
}

bool Library::backupNow()
{
    QDir().mkpath(backupsDir);
    const QString tmp = backupsDir + QStringLiteral("/tmp-backup.db");
    removeCopy(tmp);
    for (const QString& name : QDir(backupsDir).entryList({ partPattern }, QDir::Files | QDir::CaseSensitive))
        QFile::remove(backupsDir + QLatin1Char('/') + name);

    // One step over all pages from this connection: a consistent state even while the scanner writes.
    if (!db.backupTo(tmp)) {
        qWarning() << "library: backup failed: the online copy into" << tmp << "did not complete";
        return false;
    }
    // The copy holds the live file's pages as they are: one a restore would refuse is no backup, and saving
    // it would let the good ones age out behind it. Checked on its own connection, before compression.
    if (QString why; !checkLibraryFile(tmp, &why)) {
        qWarning().noquote() << "library: backup failed: the library file is damaged:" << why;
        removeCopy(tmp);
        setAsideDamagedFile();
        return false;
    }
    reach(BackupMoment::Copied);

    const QString target = backupsDir
        + QStringLiteral("/library-%1.db.gz")
              .arg(QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmm")));
    const QString part = target + QStringLiteral(".part");
    bool ok = compress(tmp, part);
    removeCopy(tmp);
    if (ok && !syncFile(part)) {
        qWarning() << "library: backup failed: cannot flush" << part;
        ok = false;
    }
    if (ok) {
        reach(BackupMoment::Renaming);
        // Replaces a backup of the same minute only now that the new one is whole.
        ok = renameOver(part, target);
        if (!ok)
            qWarning() << "library: backup failed: cannot rename" << part << "to" << target;
    }
    if (!ok) {
        QFile::remove(part);
        return false;
    }

    const qint64 now = QDateTime::currentSecsSinceEpoch();
    Statement record = db.prepare("INSERT OR REPLACE INTO library_meta(key, value) VALUES('last_backup', ?1)");
    record.bindText(1, QString::number(now));
    record.run();

    // Only after a good backup: a run of failures never thins out the backups that still work.
    const qint64 cutoff = now - qint64(backupDays) * secondsPerDay;
    for (const QFileInfo& backup : backupFiles(backupsDir, QDir::NoSort)) {
        if (backup.lastModified().toSecsSinceEpoch() < cutoff)
            QFile::remove(backup.absoluteFilePath());
    }
    return true;
}

QVariantList Library::backups() const
{
    QVariantList list;
    for (const QFileInfo& backup : backupFiles(backupsDir, QDir::Time)) {
        list.append(QVariantMap {
            { QStringLiteral("file"), backup.absoluteFilePath() },
            { QStringLiteral("date"),
                backup.lastModified().toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm")) },
            { QStringLiteral("size"), qlonglong(backup.size()) },
        });
    }
    return list;
}

bool Library::restoreBackup(const QString& file)
{
    const QString source = localPath(file);
    const QString restore = dbPath + QStringLiteral(".restore");
    // Written under another name and renamed only once checked: the start-up swap takes only a whole file.
    const QString part = restore + QStringLiteral(".part");

    GzipStream in;
    if (!in.open(source, "rbe")) {
        qWarning() << "library: restore failed: cannot open" << source;
        return false;
    }
    QFile out(part);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        qWarning() << "library: restore failed: cannot create" << part << out.errorString();
        return false;
    }
    std::vector<char> chunk(restoreChunk);
    bool ok = true;
    for (;;) {
        const int got = in.read(chunk.data(), restoreChunk);
        if (got <= 0) {
            ok = got == 0;
            break;
        }
        if (out.write(chunk.data(), got) != got) {
            ok = false;
            break;
        }
    }
    // zlib reports a stream cut short only here.
    ok = in.close() == Z_OK && ok;
    ok = ok && out.flush() && ::fsync(out.handle()) == 0;
    out.close();
    if (!ok) {
        qWarning() << "library: restore failed: cannot read" << source << "or write" << part;
    } else if (QString why; !checkLibraryFile(part, &why)) {
        qWarning().noquote() << "library: restore failed:" << source << "holds no library this version can use:" << why;
        ok = false;
    } else if (!renameOver(part, restore)) {
        qWarning() << "library: restore failed: cannot rename" << part << "to" << restore;
        ok = false;
    }
    if (!ok) {
        QFile::remove(part);
        return false;
    }
    emit notice(tr("The library will be restored the next time the player starts"));
    return true;
}

} // namespace kvr::ui::library
