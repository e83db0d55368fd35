// Compressed backups of the library and their restore at the next start, including the failures that must
// never cost the user a working library: a close that cannot flush, damaged backups, a process killed
// mid-backup.
#include "tests/support/TestSupport.h"
#include "tests/ui/library/DamagedLibrary.h"
#include "tests/ui/library/LibraryTestFiles.h"
#include "tests/ui/library/SeedLibrary.h"
#include "ui/library/Database.h"
#include "ui/library/Library.h"
#include "ui/library/LibraryBackups.h"
#include "ui/library/Statement.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <memory>

using kvr::test::SeedLibrary;
using kvr::ui::library::Database;
using kvr::ui::library::Statement;
using Lib = kvr::ui::library::Library;

using kvr::test::library::segment;
using kvr::test::library::setAge;

namespace {

constexpr qint64 day = 86400;

// The name backupNow gives a backup: the local date and time to the minute.
bool isStamped(const QString& name)
{
    static const QRegularExpression stamped(QStringLiteral("^library-\\d{8}-\\d{4}\\.db\\.gz$"));
    return stamped.match(name).hasMatch();
}

int failingClose(gzFile file)
{
    gzclose(file);
    // What gzclose reports when the last buffered data met a full disk.
    return Z_ERRNO;
}

// Clears the close seam also when a case fails half-way.
struct FailingCloses {
    FailingCloses() { kvr::ui::library::setGzipCloseHook(failingClose); }
    ~FailingCloses() { kvr::ui::library::setGzipCloseHook(nullptr); }
};

bool runTool(const QString& program, const QStringList& args, const QString& outputFile, QByteArray* output = nullptr)
{
    QProcess process;
    if (!outputFile.isEmpty())
        process.setStandardOutputFile(outputFile);
    process.start(program, args);
    const bool done
        = process.waitForFinished(120000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (output)
        *output = process.readAllStandardOutput().trimmed();
    return done;
}

// The sqlite3 tool's verdict on a backup once gunzip has decompressed it.
QByteArray checkedByTools(const QString& backup, const QString& scratch)
{
    const QString plain = scratch + "/checked.db";
    for (const char* suffix : { "", "-wal", "-shm" })
        QFile::remove(plain + suffix);
    QByteArray verdict;
    if (!runTool("gunzip", { "-c", backup }, plain)
        || !runTool("sqlite3", { plain, "PRAGMA integrity_check" }, {}, &verdict))
        return "<tools failed>";
    return verdict;
}

class LibraryBackup : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(scratch.isValid());
        dataDir = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        ASSERT_TRUE(dataDir.startsWith(QString::fromStdString(kvr::test::scratchDirectory().string())));
        QDir(dataDir).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(dataDir));
        dbPath = dataDir + "/library.db";
        backupsDir = dataDir + "/library/backups";
    }

    void TearDown() override { library.reset(); }

    // The seeded library under test, with its notices recorded.
    Lib& open()
    {
        library = std::make_unique<Lib>();
        notices.clear();
        QObject::connect(library.get(), &Lib::notice, [this](const QString& text) { notices.push_back(text); });
        return *library;
    }
    Lib& openSeeded()
    {
        if (!QFileInfo::exists(dbPath)) {
            EXPECT_TRUE(SeedLibrary::write(dbPath, scratch.path() + "/media"));
        }
        return open();
    }
    // Closes the library the way the player's exit does.
    void close() { library.reset(); }

    // Through a connection of its own, as another part of the player would see the file.
    static QString text(const QString& path, const QString& sql)
    {
        Database fresh;
        if (!fresh.open(path))
            return QStringLiteral("<no database>");
        Statement select = fresh.prepare(sql);
        return select.next() ? select.columnText(0) : QStringLiteral("<none>");
    }
    QString meta(const char* key) const
    {
        return text(dbPath, QStringLiteral("SELECT value FROM library_meta WHERE key = '%1'").arg(key));
    }
    static QString auroraRating(const QString& path)
    {
        return text(path, "SELECT rating FROM items WHERE title = 'Aurora'");
    }
    // As if the daily backup had just run: the start-up maintenance then adds none of its own to the list.
    static bool stampLastBackup(const QString& path)
    {
        Database db;
        if (!db.open(path))
            return false;
        Statement stamp = db.prepare("INSERT OR REPLACE INTO library_meta(key, value) VALUES('last_backup', ?1)");
        stamp.bindInt64(1, QDateTime::currentSecsSinceEpoch());
        return stamp.run();
    }
    static bool rateAurora(const QString& path, int rating)
    {
        Database db;
        if (!db.open(path))
            return false;
        Statement rate = db.prepare("INSERT OR REPLACE INTO source_ratings(source_id, rating) "
                                    "SELECT id, ?1 FROM items WHERE title = 'Aurora'");
        rate.bindInt64(1, rating);
        return rate.run();
    }

    // The backup backupNow made last: the only listed file with a time stamp in its name (others are renamed).
    QString stampedBackup() const
    {
        QString found;
        for (const QVariant& backup : library->backups()) {
            const QString file = backup.toMap().value("file").toString();
            if (isStamped(QFileInfo(file).fileName())) {
                EXPECT_TRUE(found.isEmpty()) << file.toStdString();
                found = file;
            }
        }
        return found;
    }

    QStringList backupFolder() const
    {
        return QDir(backupsDir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden, QDir::Name);
    }
    QStringList dataFolderFiles() const
    {
        return QDir(dataDir).entryList({ "library.db*" }, QDir::Files | QDir::Hidden, QDir::Name);
    }

    QTemporaryDir scratch;
    QString dataDir, dbPath, backupsDir;
    std::unique_ptr<Lib> library;
    std::vector<QString> notices;
};

TEST_F(LibraryBackup, BackupNowWritesOneWholeBackup)
{
    Lib& lib = openSeeded();
    // What a backup that died left behind, and a rollback journal that must not be replayed into the next copy.
    for (const char* leftover : { "tmp-backup.db", "tmp-backup.db-journal", "library-20200101-0000.db.gz.part" }) {
        QFile file(backupsDir + "/" + leftover);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("left over by a killed backup");
    }
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    ASSERT_TRUE(lib.backupNow());
    const qint64 after = QDateTime::currentSecsSinceEpoch();

    const QStringList files = backupFolder();
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();
    EXPECT_TRUE(isStamped(files[0])) << files[0].toStdString();
    const QString backup = backupsDir + "/" + files[0];
    EXPECT_EQ(checkedByTools(backup, scratch.path()), "ok");
    EXPECT_EQ(
        text(scratch.path() + "/checked.db", "SELECT COUNT(*) FROM sources"), QString::number(SeedLibrary::itemCount));

    const qint64 recorded = meta("last_backup").toLongLong();
    EXPECT_GE(recorded, before);
    EXPECT_LE(recorded, after);

    const QVariantList listed = lib.backups();
    ASSERT_EQ(listed.size(), 1);
    const QVariantMap entry = listed[0].toMap();
    const QFileInfo info(backup);
    EXPECT_EQ(entry.value("file").toString(), info.absoluteFilePath());
    EXPECT_EQ(entry.value("date").toString(), info.lastModified().toString("yyyy-MM-dd HH:mm"));
    EXPECT_EQ(entry.value("size").toLongLong(), info.size());
    EXPECT_EQ(entry.value("size").typeId(), int(QMetaType::LongLong));
    EXPECT_TRUE(notices.empty());
}

TEST_F(LibraryBackup, PruningFollowsOnlyGoodBackups)
{
    Lib& lib = openSeeded();
    lib.setBackupRetentionDays(1);
    struct Entry {
        const char* name;
        qint64 age;
        bool directory;
        bool listed;
        bool kept;
    };
    const Entry entries[] = {
        { "library-20200101-0000.db.gz", 2 * day, false, true, false },
        { "library-20200102-0000.db.gz", day - 3600, false, true, true },
        { "notes.txt", 30 * day, false, false, true },
        { "library-20200101-0000.db.gz.bak", 30 * day, false, false, true },
        { "Library-20200101-0000.DB.GZ", 30 * day, false, false, true },
        { "library-folder.db.gz", 30 * day, true, false, true },
    };
    for (const Entry& e : entries) {
        const QString path = backupsDir + "/" + e.name;
        if (e.directory) {
            ASSERT_TRUE(QDir().mkpath(path));
        } else {
            QFile file(path);
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
            file.write("an older backup");
        }
        ASSERT_TRUE(setAge(path, e.age));
    }
    const QStringList before = backupFolder();

    {
        SCOPED_TRACE("a close that cannot flush");
        Database writer;
        ASSERT_TRUE(writer.open(dbPath));
        ASSERT_TRUE(writer.exec("INSERT OR REPLACE INTO library_meta(key, value) VALUES('last_backup', '12345')"));
        FailingCloses failing;
        EXPECT_FALSE(lib.backupNow());
        EXPECT_EQ(backupFolder(), before);
        EXPECT_EQ(meta("last_backup"), "12345");
    }

    ASSERT_TRUE(lib.backupNow());
    const QStringList after = backupFolder();
    QStringList listed;
    for (const QVariant& backup : lib.backups())
        listed << QFileInfo(backup.toMap().value("file").toString()).fileName();
    ASSERT_EQ(listed.size(), 2) << listed.join(' ').toStdString();
    EXPECT_TRUE(isStamped(listed[0])) << "newest first";
    for (const Entry& e : entries) {
        EXPECT_EQ(after.contains(e.name), e.kept) << e.name;
        EXPECT_EQ(listed.contains(e.name), e.listed && e.kept) << e.name;
    }
    EXPECT_NE(meta("last_backup"), "12345");

    QDir(backupsDir).removeRecursively();
    EXPECT_TRUE(lib.backups().isEmpty());
    // The folder comes back with the next backup.
    EXPECT_TRUE(lib.backupNow());
    EXPECT_EQ(lib.backups().size(), 1);
}

TEST_F(LibraryBackup, RestoreBringsBackTheBackedUpStateAtTheNextStart)
{
    openSeeded();
    ASSERT_TRUE(rateAurora(dbPath, 100));
    ASSERT_TRUE(library->backupNow());
    const QString first = backupsDir + "/library-first.db.gz";
    ASSERT_TRUE(QFile::rename(stampedBackup(), first));
    ASSERT_TRUE(rateAurora(dbPath, 40));
    ASSERT_TRUE(library->backupNow());
    const QString second = stampedBackup();
    ASSERT_FALSE(second.isEmpty());
    ASSERT_TRUE(rateAurora(dbPath, 20));

    // A second restore before the restart replaces the first one.
    const QString notice = "The library will be restored the next time the player starts";
    EXPECT_TRUE(library->restoreBackup(first));
    EXPECT_TRUE(library->restoreBackup(QUrl::fromLocalFile(second).toString()));
    EXPECT_EQ(notices, (std::vector<QString> { notice, notice }));
    EXPECT_EQ(auroraRating(dbPath), "20") << "the live library stays in use until the restart";
    EXPECT_EQ(
        dataFolderFiles(), (QStringList { "library.db", "library.db-shm", "library.db-wal", "library.db.restore" }));

    close();
    Lib& restarted = open();
    EXPECT_TRUE(restarted.lastError().isEmpty()) << restarted.lastError().toStdString();
    EXPECT_EQ(auroraRating(dbPath), "40");
    EXPECT_EQ(text(dbPath, "SELECT value FROM library_meta WHERE key = 'schema_version'"), "1");
    EXPECT_EQ(auroraRating(dbPath + ".pre-restore"), "20");
    EXPECT_FALSE(QFileInfo::exists(dbPath + ".restore"));
    close();

    // A second restore puts the first kept copy's place to the newer one, the log included.
    ASSERT_TRUE(open().restoreBackup(first));
    close();
    open();
    EXPECT_EQ(auroraRating(dbPath), "100");
    EXPECT_EQ(auroraRating(dbPath + ".pre-restore"), "40");
}

TEST_F(LibraryBackup, InterruptedSwapIsCompletedAtTheNextStart)
{
    // The state a start leaves when it dies right after putting the database aside: the database under the
    // kept name, its log (holding the latest rating) still under the live name, the restore file waiting.
    ASSERT_TRUE(SeedLibrary::write(dbPath, scratch.path() + "/media"));
    const QString restoreFile = dataDir + "/library.db.restore";
    ASSERT_TRUE(QFile::copy(dbPath, restoreFile));
    ASSERT_TRUE(rateAurora(restoreFile, 60));
    {
        Database live;
        ASSERT_TRUE(live.open(dbPath));
        ASSERT_TRUE(live.exec("PRAGMA wal_autocheckpoint=0"));
        Statement rate = live.prepare("UPDATE source_ratings SET rating = 80 WHERE source_id = "
                                      "(SELECT id FROM items WHERE title = 'Aurora')");
        ASSERT_TRUE(rate.run());
        // A copy while the connection is open: the rating lives only in the log.
        ASSERT_TRUE(QFile::copy(dbPath, dataDir + "/snapshot"));
        ASSERT_TRUE(QFile::copy(dbPath + "-wal", dataDir + "/snapshot-wal"));
    }
    for (const char* suffix : { "", "-wal", "-shm" })
        QFile::remove(dbPath + suffix);
    ASSERT_TRUE(QFile::rename(dataDir + "/snapshot", dbPath + ".pre-restore"));
    ASSERT_TRUE(QFile::rename(dataDir + "/snapshot-wal", dbPath + "-wal"));

    open();
    close();
    EXPECT_EQ(auroraRating(dbPath), "60");
    EXPECT_TRUE(QFileInfo::exists(dbPath + ".pre-restore-wal"));

    // The next restore, from a library closed cleanly (no log): the kept copy's old log must not stay
    // behind to be read as the log of the copy that now takes its name.
    ASSERT_TRUE(QFile::copy(dbPath, restoreFile));
    ASSERT_TRUE(rateAurora(restoreFile, 20));
    open();
    close();
    EXPECT_EQ(auroraRating(dbPath), "20");
    EXPECT_EQ(auroraRating(dbPath + ".pre-restore"), "60");
    EXPECT_EQ(text(dbPath + ".pre-restore", "PRAGMA integrity_check"), "ok");
}

TEST_F(LibraryBackup, DamagedBackupsAreRefusedAndTheLiveLibraryStays)
{
    Lib& lib = openSeeded();
    ASSERT_TRUE(rateAurora(dbPath, 100));
    ASSERT_TRUE(lib.backupNow());
    const QString good = stampedBackup();
    const QByteArray goodBytes = [&] {
        QFile file(good);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    ASSERT_GT(goodBytes.size(), 1000);
    ASSERT_TRUE(rateAurora(dbPath, 60));

    const auto write = [&](const QString& name, const QByteArray& bytes) {
        const QString path = scratch.path() + "/" + name;
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
        return path;
    };
    const QString half = write("half.db.gz", goodBytes.left(goodBytes.size() / 2));
    QByteArray noise(256 * 1024, '\0');
    QRandomGenerator(51).fillRange(reinterpret_cast<quint32*>(noise.data()), noise.size() / 4);
    const QString random = write("random.db.gz", noise);
    const QString textFile = write("notes.txt", QByteArray("some notes, not a library\n").repeated(1000));
    ASSERT_TRUE(runTool("gzip", { "-k", textFile }, {}));
    // A whole backup of a library made by a newer version.
    const QString newer = scratch.path() + "/newer.db";
    {
        Database db;
        ASSERT_TRUE(db.open(newer));
        ASSERT_TRUE(db.ensureSchema());
        ASSERT_TRUE(db.exec("UPDATE library_meta SET value = '2' WHERE key = 'schema_version'"));
    }
    ASSERT_TRUE(runTool("gzip", { "-k", newer }, {}));

    for (const QString& bad : { half, random, textFile + ".gz", newer + ".gz", scratch.path() + "/missing.db.gz" }) {
        SCOPED_TRACE(bad.toStdString());
        EXPECT_FALSE(lib.restoreBackup(bad));
        EXPECT_TRUE(notices.empty());
        EXPECT_EQ(dataFolderFiles(), (QStringList { "library.db", "library.db-shm", "library.db-wal" }));
    }
    close();
    open();
    EXPECT_EQ(auroraRating(dbPath), "60");
    EXPECT_FALSE(QFileInfo::exists(dbPath + ".pre-restore"));

    // zlib reads a file that is not compressed as it is: a plain library file restores.
    const QString plain = scratch.path() + "/plain.db";
    ASSERT_TRUE(runTool("gunzip", { "-c", good }, plain));
    EXPECT_TRUE(library->restoreBackup(plain));
    close();
    open();
    EXPECT_EQ(auroraRating(dbPath), "100");
}

// A backup is a copy a restore takes: one of a damaged file fails, adds nothing, moves no date and prunes
// nothing, so the good backups from before the damage stay. The library then says the file is damaged, and
// leaves it as it is for the restore.
TEST_F(LibraryBackup, BackupOfADamagedLibraryFailsAndTheGoodOnesStay)
{
    Lib& lib = openSeeded();
    lib.setBackupRetentionDays(1);
    ASSERT_TRUE(lib.backupNow());
    const QString good = backupsDir + "/library-20200101-0000.db.gz";
    ASSERT_TRUE(QFile::rename(stampedBackup(), good));
    ASSERT_TRUE(setAge(good, 3 * day));
    ASSERT_TRUE(stampLastBackup(dbPath));
    const QString lastBackup = meta("last_backup");
    close();
    ASSERT_TRUE(kvr::test::library::damageLibrary(dbPath, kvr::test::library::Damage::FlippedTablePage));
    const QByteArray damaged = [&] {
        QFile file(dbPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();

    Lib& reopened = open();
    // No check of the whole file at the start: it opens.
    EXPECT_EQ(reopened.lastError(), "");
    QSignalSpy errorChanged(&reopened, &Lib::errorChanged);
    const QStringList before = backupFolder();
    EXPECT_FALSE(reopened.backupNow());
    EXPECT_EQ(backupFolder(), before);
    EXPECT_EQ(reopened.lastError(),
        "The library file is damaged; it is left untouched. Restore a backup in Library Folders & Settings.");
    EXPECT_EQ(errorChanged.count(), 1);
    EXPECT_TRUE(reopened.counts().value("tracks").toLongLong() == 0) << "the connection is closed";
    EXPECT_FALSE(reopened.backupNow());
    EXPECT_EQ(backupFolder(), before);
    close();
    EXPECT_EQ(meta("last_backup"), lastBackup);
    const QByteArray after = [&] {
        QFile file(dbPath);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }();
    EXPECT_TRUE(after == damaged);

    // The good backup from before the damage restores.
    Lib& last = open();
    EXPECT_TRUE(last.restoreBackup(good));
    close();
    open();
    EXPECT_EQ(library->lastError(), "");
    EXPECT_EQ(auroraRating(dbPath), "100");
}

TEST_F(LibraryBackup, BackupWhileAScanWrites)
{
    const QString music = scratch.path() + "/Music";
    ASSERT_TRUE(QDir().mkpath(music));
    // 3000 small files: the pass, whose written files are committed in groups, lasts well past its first progress
    // report however fast the machine.
    ASSERT_TRUE(segment(music,
        { "-f", "lavfi", "-i", "anoisesrc=d=1800:r=8000:a=0.5:seed=51", "-ac", "1", "-c:a", "libmp3lame", "-b:a", "16k",
            "-segment_time", "0.6" },
        "a%04d.mp3"));
    for (const QString& name : QDir(music).entryList(QDir::Files))
        ASSERT_TRUE(setAge(music + "/" + name, 60));

    Lib& lib = open();
    // A slow start of the pass can outlast the start-up maintenance's delay.
    ASSERT_TRUE(stampLastBackup(dbPath));
    ASSERT_TRUE(lib.addFolder(music));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return lib.scanning() && lib.scanStatus().value("processed").toInt() > 0; }, 60000));
    int during = 0;
    int round = 0;
    while (lib.scanning() && during < 3) {
        ASSERT_TRUE(lib.backupNow());
        const QString backup = stampedBackup();
        EXPECT_EQ(checkedByTools(backup, scratch.path()), "ok") << "round " << round;
        ++round;
        // Counted only when the pass was still writing after the copy was taken.
        if (lib.scanning())
            ++during;
        QTest::qWait(200);
    }
    EXPECT_GE(during, 1);
}

// One run of the probe's backup, read line by line.
class BackupRun {
public:
    explicit BackupRun(const QString& dbPath, const QString& stopAt = {})
    {
        QStringList args { "backup", dbPath };
        if (!stopAt.isEmpty())
            args << "--stop-at" << stopAt;
        process_.setProgram(QStringLiteral(KVR_LIBRARY_SCAN_PROBE));
        process_.setArguments(args);
        process_.start();
    }
    ~BackupRun() { kill(); }

    // Reads lines until one equals `line`; false when the process ends first.
    bool waitFor(const QByteArray& line)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
        while (std::chrono::steady_clock::now() < deadline) {
            while (process_.canReadLine()) {
                if (process_.readLine().trimmed() == line)
                    return true;
            }
            if (process_.state() == QProcess::NotRunning && !process_.canReadLine())
                return false;
            process_.waitForReadyRead(1000);
        }
        return false;
    }
    void kill()
    {
        if (process_.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
            process_.waitForFinished(30000);
        }
    }
    QByteArray errors() { return process_.readAllStandardError(); }

private:
    QProcess process_;
};

TEST_F(LibraryBackup, KilledBackupsLeaveTheLibraryAndEveryListedBackupWhole)
{
    {
        Database db;
        ASSERT_TRUE(db.open(dbPath));
        ASSERT_TRUE(db.ensureSchema());
        ASSERT_TRUE(db.exec("INSERT INTO sources(uri, kind, size_bytes, extra_json) "
                            "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 110000) "
                            "SELECT '/music/' || i || '-' || hex(randomblob(16)) || '.mp3', 'audio', i, "
                            "hex(randomblob(180)) FROM n"));
    }
    ASSERT_GE(QFileInfo(dbPath).size(), 50'000'000);
    const QString fingerprintSql = "SELECT COUNT(*) || ':' || SUM(size_bytes) || ':' || SUM(length(extra_json)) "
                                   "|| ':' || MAX(uri) FROM sources";
    const QString fingerprint = text(dbPath, fingerprintSql);

    {
        BackupRun run(dbPath);
        ASSERT_TRUE(run.waitFor("backup ok")) << run.errors().toStdString();
    }
    for (const char* moment : { "copied", "compressing", "renaming" }) {
        SCOPED_TRACE(moment);
        {
            BackupRun run(dbPath, moment);
            ASSERT_TRUE(run.waitFor(QByteArray("moment ") + moment)) << run.errors().toStdString();
            run.kill();
        }
        EXPECT_EQ(text(dbPath, "PRAGMA integrity_check"), "ok");
        EXPECT_EQ(text(dbPath, fingerprintSql), fingerprint);

        Lib& lib = open();
        const QVariantList listed = lib.backups();
        ASSERT_FALSE(listed.isEmpty());
        for (const QVariant& backup : listed) {
            const QString file = backup.toMap().value("file").toString();
            EXPECT_TRUE(file.endsWith(".db.gz")) << file.toStdString();
            EXPECT_TRUE(lib.restoreBackup(file)) << file.toStdString();
            ASSERT_TRUE(QFile::remove(dbPath + ".restore"));
        }
        close();
    }

    // The next backup clears what the killed ones left.
    BackupRun run(dbPath);
    ASSERT_TRUE(run.waitFor("backup ok")) << run.errors().toStdString();
    for (const QString& name : backupFolder())
        EXPECT_TRUE(isStamped(name)) << name.toStdString();
}

} // namespace
