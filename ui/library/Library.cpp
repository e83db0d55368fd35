#include "ui/library/Library.h"

#include "ui/library/LibraryBackups.h"
#include "ui/library/LibraryScanner.h"
#include "ui/library/Statement.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QStandardPaths>
#include <QUrl>

#include <sqlite3.h>

#include <algorithm>
#include <optional>

namespace kvr::ui::library {

namespace {

constexpr int watchDebounceMs = 2000;
constexpr int contentThrottleMs = 1500;
constexpr int maintenanceMs = 3600 * 1000;

// The test for a source whose user-edited values may differ from the scanned ones, word for word the condition
// of the partial index idx_sources_edited (Database.cpp), which serves it only in this exact form.
const QString editedCondition = QStringLiteral(
    "u_artist IS NOT NULL OR u_album IS NOT NULL OR u_album_artist IS NOT NULL OR u_year IS NOT NULL OR u_genre IS "
    "NOT NULL OR u_composer IS NOT NULL OR u_category IS NOT NULL OR u_show IS NOT NULL");

// One count per entry: the keys QML reads (one per column, blank-separated) and the query whose columns are
// the numbers. Counting through
// the items view costs nine joins for every source; instead, sources without user edits are counted from
// the small tables (artists, albums, genres, shows, distinct years and composers) with an EXISTS probe of
// their tracks or videos through an index, and the few edited sources through the view itself; a UNION
// of the two sides gives the distinct values the view would. %1 is the edited test on "s.", %2 the ids of
// the edited sources. The scanner keeps a tracks row only for audio sources and a videos row only for
// video ones, which the probes rely on. Names are compared as the view compares them (BINARY: the view's
// columns are expressions, which have no collation of their own).
struct CountQuery {
    const char* key;
    const char* sql;
};

// The same counts over the stored keys, for files that have them: each reads one index (named where SQLite
// would otherwise pick another, as it does on files without statistics, which the library never gathers) and
// never the wide rows of sources. Three figures come of one pass over the marked sources.
constexpr CountQuery keyedCountQueries[] = {
    // All sources less the ranges of the kind index that are not available songs: a count of a whole index
    // reads its pages, not its entries, and the ranges left over are small. The ranges cover every value
    // once (NULL, then below, at and above 'audio'; the same for available within 'audio').
    { "tracks",
        "SELECT (SELECT COUNT(*) FROM sources) - (SELECT COUNT(*) FROM sources WHERE kind IS NULL) - (SELECT COUNT(*) "
        "FROM sources WHERE kind < 'audio') - (SELECT COUNT(*) FROM sources WHERE kind > 'audio') - (SELECT COUNT(*) "
        "FROM sources WHERE kind = 'audio' AND available IS NULL) - (SELECT COUNT(*) FROM sources WHERE kind = "
        "'audio' AND available < 1) - (SELECT COUNT(*) FROM sources WHERE kind = 'audio' AND available > 1)" },
    { "videos", "SELECT COUNT(*) FROM sources WHERE kind='video' AND available=1" },
    { "movies", "SELECT COUNT(*) FROM sources WHERE sk_category='movie' AND available=1" },
    { "shows",
        "SELECT COUNT(DISTINCT sk_show) FROM sources INDEXED BY idx_sk_shows WHERE sk_category='episode' AND sk_show "
        "IS NOT NULL AND available=1" },
    // The distinct values walked through their index, one seek each (an ordered MIN stops at the first
    // available entry), rather than read entry by entry: without statistics SQLite steps through every
    // duplicate of a COUNT(DISTINCT).
    { "artists",
        "WITH RECURSIVE a(v) AS (SELECT MIN(sk_artist) FROM sources WHERE kind='audio' AND available=1 AND sk_artist "
        "IS NOT NULL UNION ALL SELECT (SELECT MIN(sk_artist) FROM sources WHERE kind='audio' AND available=1 AND "
        "sk_artist > v) FROM a WHERE v IS NOT NULL) SELECT COUNT(v) FROM a" },
    { "albums",
        "SELECT COUNT(*) FROM (SELECT 1 FROM sources WHERE kind='audio' AND sk_album IS NOT NULL AND available=1 "
        "GROUP BY sk_album, sk_album_artist)" },
    { "genres",
        "WITH RECURSIVE g(v) AS (SELECT MIN(sk_genre) FROM sources WHERE sk_genre IS NOT NULL AND available=1 UNION "
        "ALL SELECT (SELECT MIN(sk_genre) FROM sources WHERE sk_genre > v AND available=1) FROM g WHERE v IS NOT "
        "NULL) SELECT COUNT(v) FROM g" },
    { "years",
        "WITH RECURSIVE y(v) AS (SELECT MIN(sk_year) FROM sources WHERE kind='audio' AND available=1 AND sk_year IS "
        "NOT NULL UNION ALL SELECT (SELECT MIN(sk_year) FROM sources WHERE kind='audio' AND available=1 AND sk_year > "
        "v) FROM y WHERE v IS NOT NULL) SELECT COUNT(v) FROM y" },
    { "composers",
        "SELECT COUNT(DISTINCT sk_composer) FROM sources WHERE sk_composer IS NOT NULL AND sk_composer <> '' AND "
        "available=1" },
    { "recent",
        "SELECT COUNT(*) FROM sources INDEXED BY idx_sources_recent WHERE available=1 AND date_added >= "
        "strftime('%s','now') - 30*86400" },
    { "played most top",
        "SELECT COUNT(CASE WHEN sk_last_played IS NOT NULL THEN 1 END), COUNT(CASE WHEN sk_play_count > 0 THEN 1 END), "
        "COUNT(CASE WHEN sk_rating > 0 THEN 1 END) FROM sources INDEXED BY idx_sk_marked WHERE available = 1 AND "
        "(sk_rating > 0 OR sk_play_count > 0 OR sk_last_played IS NOT NULL)" },
    { "missing", "SELECT COUNT(*) FROM sources INDEXED BY idx_sources_missing WHERE available=0" },
    { "folders", "SELECT COUNT(*) FROM library_folders" },
    { "playlists", "SELECT COUNT(*) FROM playlists WHERE deleted_at IS NULL" },
};

constexpr CountQuery countQueries[] = {
    { "tracks", "SELECT COUNT(*) FROM sources WHERE kind='audio' AND available=1" },
    { "videos", "SELECT COUNT(*) FROM sources WHERE kind='video' AND available=1" },
    { "movies",
        "SELECT (SELECT COUNT(*) FROM videos v JOIN sources s ON s.id = v.source_id WHERE v.category = 'movie' AND "
        "s.available = 1 AND NOT (%1)) + (SELECT COUNT(*) FROM items WHERE id IN (%2) AND category = 'movie' AND "
        "available = 1)" },
    { "shows",
        "SELECT COUNT(*) FROM (SELECT sh.title COLLATE BINARY FROM shows sh WHERE EXISTS (SELECT 1 FROM videos v "
        "JOIN sources s ON s.id = v.source_id WHERE v.show_id = sh.id AND v.category = 'episode' AND s.available = 1 "
        "AND NOT (%1)) UNION SELECT show FROM items WHERE id IN (%2) AND category = 'episode' AND show IS NOT NULL "
        "AND available = 1)" },
    { "artists",
        "SELECT COUNT(*) FROM (SELECT ar.name COLLATE BINARY FROM artists ar WHERE EXISTS (SELECT 1 FROM tracks t "
        "JOIN sources s ON s.id = t.source_id WHERE t.artist_id = ar.id AND s.kind = 'audio' AND s.available = 1 AND "
        "NOT (%1)) UNION SELECT artist FROM items WHERE id IN (%2) AND kind = 'audio' AND artist IS NOT NULL AND "
        "available = 1)" },
    // An album's artist is its primary artist; without one (or with one gone) each track's own artist. The
    // albums with a primary artist are distinct groups already and are only counted; the few other pairs
    // count where no such album stands for them.
    { "albums",
        "SELECT (SELECT COUNT(*) FROM albums al WHERE al.primary_artist_id IN (SELECT id FROM artists) AND EXISTS "
        "(SELECT 1 FROM tracks t JOIN sources s ON s.id = t.source_id WHERE t.album_id = al.id AND s.kind = 'audio' "
        "AND s.available = 1 AND NOT (%1))) + (SELECT COUNT(*) FROM (SELECT al.title AS a, (SELECT name FROM artists "
        "WHERE id = t.artist_id) AS b FROM albums al CROSS JOIN tracks t ON t.album_id = al.id CROSS JOIN sources s "
        "ON s.id = t.source_id WHERE NOT EXISTS (SELECT 1 FROM artists WHERE id = al.primary_artist_id) AND s.kind = "
        "'audio' AND "
        "s.available = 1 AND NOT (%1) UNION SELECT album, album_artist FROM items WHERE id IN (%2) AND kind = 'audio' "
        "AND album IS NOT NULL AND available = 1) AS x WHERE NOT EXISTS (SELECT 1 FROM albums al JOIN artists aa ON "
        "aa.id = al.primary_artist_id WHERE al.title = x.a AND aa.name = x.b COLLATE BINARY AND EXISTS (SELECT 1 FROM "
        "tracks t JOIN sources s ON s.id = t.source_id WHERE t.album_id = al.id AND s.kind = 'audio' AND "
        "s.available = 1 AND NOT (%1))))" },
    { "genres",
        "SELECT COUNT(*) FROM (SELECT g.name COLLATE BINARY FROM genres g WHERE EXISTS (SELECT 1 FROM tracks t JOIN "
        "sources s ON s.id = t.source_id WHERE t.genre_id = g.id AND s.available = 1 AND NOT (%1)) OR EXISTS (SELECT 1 "
        "FROM videos v JOIN sources s ON s.id = v.source_id WHERE v.genre_id = g.id AND s.available = 1 AND NOT (%1)) "
        "UNION SELECT genre FROM items WHERE id IN (%2) AND genre IS NOT NULL AND available = 1)" },
    // The distinct years walked through their index, one seek each, rather than read row by row.
    { "years",
        "WITH RECURSIVE y(v) AS (SELECT MIN(year) FROM tracks UNION ALL SELECT (SELECT MIN(year) FROM tracks WHERE "
        "year > v) FROM y WHERE v IS NOT NULL) SELECT COUNT(*) FROM (SELECT v FROM y WHERE v IS NOT NULL AND EXISTS "
        "(SELECT 1 FROM tracks t JOIN sources s ON s.id = t.source_id WHERE t.year = v AND s.kind = 'audio' AND "
        "s.available = 1 AND NOT (%1)) UNION SELECT year FROM items WHERE id IN (%2) AND year IS NOT NULL AND kind = "
        "'audio' AND available = 1)" },
    { "composers",
        "WITH RECURSIVE c(v) AS (SELECT MIN(composer) FROM tracks WHERE composer > '' UNION ALL SELECT (SELECT "
        "MIN(composer) FROM tracks WHERE composer > v) FROM c WHERE v IS NOT NULL) SELECT COUNT(*) FROM (SELECT v FROM "
        "c WHERE v IS NOT NULL AND EXISTS (SELECT 1 FROM tracks t JOIN sources s ON s.id = t.source_id WHERE "
        "t.composer = v AND s.available = 1 AND NOT (%1)) UNION SELECT composer FROM items WHERE id IN (%2) AND "
        "composer IS NOT NULL AND composer <> '' AND available = 1)" },
    { "recent", "SELECT COUNT(*) FROM sources WHERE available=1 AND date_added >= strftime('%s','now') - 30*86400" },
    // Two figures of one pass over the statistics.
    { "played most",
        "SELECT COUNT(p.last_played), COUNT(CASE WHEN p.play_count > 0 THEN 1 END) FROM play_stats p JOIN sources s "
        "ON s.id=p.source_id WHERE s.available=1" },
    { "top",
        "SELECT COUNT(*) FROM source_ratings r JOIN sources s ON s.id=r.source_id WHERE s.available=1 AND "
        "r.rating > 0" },
    { "missing", "SELECT COUNT(*) FROM sources WHERE available=0" },
    { "folders", "SELECT COUNT(*) FROM library_folders" },
    { "playlists", "SELECT COUNT(*) FROM playlists WHERE deleted_at IS NULL" },
};

// A stored number: base 10, anything else 0 (and then clamped like any other value).
int storedInt(const QString& text)
{
    bool ok = false;
    const int value = text.toInt(&ok, 10);
    return ok ? value : 0;
}

} // namespace

Library::Library(QObject* parent)
    : Library(parent, LibraryScanner::kThreadNice)
{
}

Library::Library(QObject* parent, int scanThreadNice)
    : QObject(parent)
{
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(dataDir);
    dbPath = dataDir + QStringLiteral("/library.db");
    coversDir = dataDir + QStringLiteral("/covers");
    backupsDir = dataDir + QStringLiteral("/library/backups");
    QDir().mkpath(coversDir);
    QDir().mkpath(backupsDir);
    swapInRestoredDatabase(dbPath);

    if (!db.open(dbPath)) {
        lastError_ = tr("The library database could not be opened.");
        emit errorChanged();
    } else if (!db.ensureSchema()) {
        switch (db.refusal()) {
        case Database::Refusal::Newer:
            lastError_ = tr("This library was created by a newer version of the player; it is left untouched.");
            break;
        case Database::Refusal::Damaged:
            lastError_ = damagedText();
            break;
        default:
            lastError_ = tr("The library database could not be opened.");
            break;
        }
        emit errorChanged();
        // Closing rolls back whatever a failed script left open; nothing more touches the file.
        db.close();
    } else {
        // The scanner folds the log back into the file (on its own thread); a play or a rating written here
        // must not do it on the GUI thread after a scan has filled the log.
        db.exec("PRAGMA wal_autocheckpoint=0");
        // Counts and groups read whole indexes of a large library; with SQLite's 2 MB default each read of
        // them went back to the operating system page by page.
        db.exec("PRAGMA cache_size=-32768");
    }

    watchTimer.setSingleShot(true);
    // Precise: a coarse timer may fire up to 5 % early, before the burst of changes is really over.
    watchTimer.setTimerType(Qt::PreciseTimer);
    watchTimer.setInterval(watchDebounceMs);
    connect(&watchTimer, &QTimer::timeout, this, &Library::rescanPendingDirectories);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, &Library::onDirectoryChanged);
    connect(&returnWatcher, &QFileSystemWatcher::directoryChanged, this, &Library::checkReachability);
    contentTimer.setSingleShot(true);
    contentTimer.setInterval(contentThrottleMs);
    // The folder rows count the items a pass writes, so they are read again with the content.
    connect(&contentTimer, &QTimer::timeout, this, [this] {
        bumpRevision();
        emit foldersChanged();
    });
    connect(this, &Library::foldersChanged, this, [this] { ++countsGeneration; });
    connect(this, &Library::playlistsChanged, this, [this] { ++countsGeneration; });
    maintenanceTimer.setInterval(maintenanceMs);
    connect(&maintenanceTimer, &QTimer::timeout, this, &Library::runMaintenance);
    maintenanceTimer.start();

    readSettings();

    // The callbacks run on the scanner's thread and touch nothing of this object: each posts a copy of the
    // status to it. With the object as context, a report still queued when it is deleted is dropped with it.
    scanner = std::make_unique<LibraryScanner>(
        dbPath, coversDir,
        [this](const ScanStatus& report) {
            QMetaObject::invokeMethod(
                this, [this, report] { onScanProgress(report); }, Qt::QueuedConnection);
        },
        [this](const ScanStatus& report) {
            QMetaObject::invokeMethod(
                this, [this, report] { onScanFinished(report); }, Qt::QueuedConnection);
        },
        LibraryScanner::Probe {}, scanThreadNice);

    rewatchFolders();
    startupTimer.setSingleShot(true);
    connect(&startupTimer, &QTimer::timeout, this, &Library::onStartupTimer);
    startupAfter(kStartupDelayMs);
}

Library::~Library()
{
    // The scanner goes first: its pass ends, its thread is joined, and its last report is posted to this
    // object while it still exists (and is discarded with it). The connection is closed last, as a member.
    scanner.reset();
}

void Library::readSettings()
{
    Statement select = db.prepare("SELECT key, value FROM library_meta WHERE key IN ('backup_days','rescan_hours')");
    while (select.next()) {
        const int value = storedInt(select.columnText(1));
        if (select.columnText(0) == QLatin1String("backup_days"))
            backupDays = std::clamp(value, 1, 90);
        else
            rescanHours_ = std::clamp(value, 1, 720);
    }
}

void Library::writeSetting(const char* key, int value)
{
    Statement write = db.prepare("INSERT OR REPLACE INTO library_meta(key, value) VALUES(?1, ?2)");
    write.bindText(1, QString::fromLatin1(key)).bindText(2, QString::number(value));
    write.run();
}

void Library::setBackupRetentionDays(int days)
{
    days = std::clamp(days, 1, 90);
    if (days == backupDays)
        return;
    backupDays = days;
    writeSetting("backup_days", days);
    emit settingsChanged();
}

void Library::setRescanHours(int hours)
{
    hours = std::clamp(hours, 1, 720);
    if (hours == rescanHours_)
        return;
    rescanHours_ = hours;
    writeSetting("rescan_hours", hours);
    emit settingsChanged();
}

QVariantMap Library::scanStatus() const
{
    return {
        { QStringLiteral("running"), status.running },
        { QStringLiteral("paused"), status.paused },
        { QStringLiteral("found"), status.found },
        { QStringLiteral("processed"), status.processed },
        { QStringLiteral("added"), status.added },
        { QStringLiteral("updated"), status.updated },
        { QStringLiteral("removed"), status.removed },
        { QStringLiteral("leftOut"), status.leftOut },
        { QStringLiteral("current"), status.current },
    };
}

QVariantMap Library::counts() const
{
    // Every binding of the sidebar reads the getter, and a scan raises the revision every 1.5 s: the figures
    // are worked out once per state of the content and kept until it changes (a revision, a folder or playlist
    // change, or a write of this connection that announced nothing).
    const qint64 changes = db.handle() ? qint64(sqlite3_total_changes(db.handle())) : 0;
    if (countsCache.valid && countsCache.revision == revision_ && countsCache.generation == countsGeneration
        && countsCache.changes == changes)
        return countsCache.values;
    static const QString editedSources = QStringLiteral("SELECT id FROM sources WHERE ") + editedCondition;
    static const QString notEdited = QString(editedCondition).replace(QLatin1String("u_"), QLatin1String("s.u_"));
    // Null when a query cannot be prepared: a file whose count indexes are gone is counted the other way.
    const auto run = [this](const auto& queries, bool keyed) -> std::optional<QVariantMap> {
        QVariantMap result;
        for (const CountQuery& count : queries) {
            QString sql = QString::fromLatin1(count.sql);
            if (!keyed && sql.contains(QLatin1String("%2")))
                sql = sql.arg(notEdited, editedSources);
            Statement select = keyed ? db.prepareQuiet(sql.toUtf8().constData()) : db.prepare(sql);
            if (keyed && !select.isValid())
                return std::nullopt;
            const bool row = select.next();
            const QStringList keys = QString::fromLatin1(count.key).split(QLatin1Char(' '));
            for (int i = 0; i < keys.size(); ++i)
                result.insert(keys[i], row ? select.columnInt64(i) : qlonglong(0));
        }
        return result;
    };
    std::optional<QVariantMap> keyed;
    if (db.hasSortKeys())
        keyed = run(keyedCountQueries, true);
    const QVariantMap result = keyed ? *keyed : *run(countQueries, false);
    countsCache = { true, revision_, countsGeneration, changes, result };
    return result;
}

QString Library::damagedText()
{
    return tr("The library file is damaged; it is left untouched. Restore a backup in Library Folders & Settings.");
}

void Library::setAsideDamagedFile()
{
    lastError_ = damagedText();
    emit errorChanged();
    // As at a start on a damaged file: nothing writes to it any more, so the text stays true and the backups
    // taken before the damage can restore it. The running pass stops at its next file.
    if (scanner)
        scanner->cancel();
    db.close();
    emit foldersChanged();
    emit playlistsChanged();
    bumpRevision();
}

void Library::bumpRevision()
{
    ++revision_;
    emit contentChanged();
}

void Library::reportSaveFailure()
{
    emit notice(tr("The library could not save the change."));
}

void Library::requestFullScan()
{
    if (db.isOpen() && scanner)
        scanner->requestFullScan();
}

void Library::scanNow()
{
    requestFullScan();
}

void Library::pauseScan(bool p)
{
    if (scanner)
        scanner->setPaused(p);
    status.paused = p;
    emit scanChanged();
}

void Library::cancelScan()
{
    if (scanner)
        scanner->cancel();
}

void Library::onScanProgress(const ScanStatus& scanStatus)
{
    status = scanStatus;
    emit scanChanged();
    // At most one contentChanged per period while a pass reports, 1500 ms after the period's first report.
    if (!contentTimer.isActive())
        contentTimer.start();
}

void Library::onScanFinished(const ScanStatus& scanStatus)
{
    status = scanStatus;
    emit scanChanged();
    bumpRevision();
    rewatchFolders();
    // Item counts, the last full scan and reachability of the folder rows.
    emit foldersChanged();
    // A directory watch reports a file when it appears, not while it grows: the directories of files met
    // while still being written are asked for again once the debounce has passed, until they are quiet.
    if (!scanStatus.settling.isEmpty()) {
        for (const QString& directory : scanStatus.settling)
            pendingDirs.insert(directory);
        watchTimer.start();
    }
    if (scanStatus.added != 0 || scanStatus.updated != 0 || scanStatus.removed != 0) {
        emit notice(tr("Library: %1 added, %2 updated, %3 missing")
                        .arg(scanStatus.added)
                        .arg(scanStatus.updated)
                        .arg(scanStatus.removed));
    }
}

void Library::holdStartup()
{
    startupTimer.stop();
}

void Library::startupAfter(int delayMs)
{
    if (!startupRan)
        startupTimer.start(std::max(delayMs, 0));
}

void Library::onStartupTimer()
{
    startupRan = true;
    if (!folders().isEmpty())
        requestFullScan();
    runMaintenance();
}

void Library::runMaintenance()
{
    const qint64 now = QDateTime::currentSecsSinceEpoch();
    qint64 lastBackup = 0;
    {
        Statement select = db.prepare("SELECT value FROM library_meta WHERE key = 'last_backup'");
        if (select.next()) {
            bool ok = false;
            lastBackup = select.columnText(0).toLongLong(&ok, 10);
            if (!ok)
                lastBackup = 0;
        }
    }
    qint64 oldestScan = 0;
    {
        Statement select = db.prepare("SELECT MIN(last_full_scan) FROM library_folders WHERE enabled = 1");
        if (select.next())
            oldestScan = select.columnInt64(0);
    }
    if (now - lastBackup > 86400)
        backupNow();
    checkReachability();
    // A write of a cover or thumbnail cut short by a kill leaves its temporary file; an hour is far longer
    // than any write still under way takes.
    if (const int removed
        = LibraryScanner::removeUnfinishedCovers(coversDir, QDateTime::currentDateTime().addSecs(-3600)))
        qInfo().noquote() << "library: removed" << removed << "unfinished cover files";
    if (!folders().isEmpty() && now - oldestScan > qint64(rescanHours_) * 3600 && !status.running)
        requestFullScan();
}

QString Library::localPath(const QString& pathOrUrl)
{
    QString path = pathOrUrl;
    if (pathOrUrl.startsWith(QLatin1String("file:")))
        path = QUrl(pathOrUrl, QUrl::TolerantMode).toLocalFile();
    return QDir::toNativeSeparators(path);
}

QUrl Library::folderUrl(const QString& path, bool isFolder) const
{
    const QString local = localPath(path);
    if (local.isEmpty() || !QDir::isAbsolutePath(local))
        return {};
    const QString clean = QDir::cleanPath(local);
    return QUrl::fromLocalFile(isFolder ? clean : QFileInfo(clean).path());
}

QString Library::searchHelp() const
{
    return tr("Words match titles, artists, albums, genres, tags and paths (as you type). "
              "\"exact phrase\" \u00b7 artist:Name \u00b7 genre:Jazz \u00b7 year:1985 \u00b7 "
              "year:[1980 TO 1990] \u00b7 rating:>=4 \u00b7 plays:>10 \u00b7 played:never|today|thisweek \u00b7 "
              "kind:movie \u00b7 format:lossless \u00b7 tag:roadtrip AND year:2020 \u00b7 -genre:Country");
}

} // namespace kvr::ui::library
