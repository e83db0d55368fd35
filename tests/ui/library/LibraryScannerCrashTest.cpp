// Scan passes that end abruptly: killed from outside, or brought down by a file whose reading crashes. The
// pass runs in kvr_library_scan_probe, a process of its own, so that only that process dies.
#include "tests/support/TestSupport.h"
#include "tests/ui/library/LibraryTestFiles.h"
#include "ui/library/Database.h"
#include "ui/library/Statement.h"

#include <QDateTime>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QSet>
#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>

#include <chrono>
#include <functional>

using kvr::ui::library::Database;
using kvr::ui::library::Statement;

using kvr::test::library::segment;
using kvr::test::library::setAge;

namespace {

// One run of the probe program, read line by line.
class ScanRun {
public:
    explicit ScanRun(const QStringList& args)
    {
        process_.setProgram(QStringLiteral(KVR_LIBRARY_SCAN_PROBE));
        process_.setArguments(QStringList { "scan" } + args);
        process_.start();
    }
    ~ScanRun()
    {
        if (process_.state() != QProcess::NotRunning) {
            ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
            process_.waitForFinished(30000);
        }
    }

    // Reads reports until one says "processed N" with N >= count; false when the process ends first.
    bool waitProcessed(int count)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
        while (std::chrono::steady_clock::now() < deadline) {
            while (process_.canReadLine()) {
                const QByteArray line = process_.readLine().trimmed();
                output_ += line + '\n';
                if (line.startsWith("processed ") && line.mid(10).toInt() >= count)
                    return true;
            }
            if (process_.state() == QProcess::NotRunning)
                return false;
            process_.waitForReadyRead(1000);
        }
        return false;
    }
    // Reads lines until one equals `line`; false when the process ends first.
    bool waitLine(const QByteArray& line)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
        while (std::chrono::steady_clock::now() < deadline) {
            while (process_.canReadLine()) {
                const QByteArray read = process_.readLine().trimmed();
                output_ += read + '\n';
                if (read == line)
                    return true;
            }
            if (process_.state() == QProcess::NotRunning)
                return false;
            process_.waitForReadyRead(1000);
        }
        return false;
    }
    // SIGKILL to this run's process only, then waits for its end.
    void kill()
    {
        ::kill(static_cast<pid_t>(process_.processId()), SIGKILL);
        process_.waitForFinished(30000);
    }
    // Waits for the end: true for a normal exit with code 0.
    bool finish()
    {
        const bool ended = process_.waitForFinished(240000);
        output_ += process_.readAllStandardOutput();
        errors_ += process_.readAllStandardError();
        return ended && process_.exitStatus() == QProcess::NormalExit && process_.exitCode() == 0;
    }
    bool crashed()
    {
        process_.waitForFinished(240000);
        errors_ += process_.readAllStandardError();
        return process_.exitStatus() == QProcess::CrashExit;
    }
    // The number after `word` in the final "finished ..." line; -1 without one.
    int finishedCount(const char* word) const
    {
        for (const QByteArray& line : output_.split('\n')) {
            if (!line.startsWith("finished "))
                continue;
            const QList<QByteArray> parts = line.split(' ');
            for (qsizetype i = 1; i + 1 < parts.size(); ++i) {
                if (parts[i] == word)
                    return parts[i + 1].toInt();
            }
        }
        return -1;
    }
    const QByteArray& errors() const { return errors_; }

private:
    QProcess process_;
    QByteArray output_;
    QByteArray errors_;
};

class LibraryScannerCrash : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        music = dir.path() + "/Music";
        dbPath = dir.path() + "/library.db";
        covers = dir.path() + "/covers";
        QDir().mkpath(music);
        ASSERT_TRUE(db.open(dbPath));
        ASSERT_TRUE(db.ensureSchema());
        Statement insert = db.prepare("INSERT INTO library_folders(path, enabled) VALUES(?1, 1)");
        insert.bindText(1, music);
        ASSERT_TRUE(insert.run());
    }

    QStringList args(const QString& abortOn = {}, const QString& hangOn = {}) const
    {
        QStringList list { dbPath, "--covers", covers };
        if (!abortOn.isEmpty())
            list << "--abort-on" << abortOn;
        if (!hangOn.isEmpty())
            list << "--hang-on" << hangOn;
        return list;
    }

    // A fresh connection each time: it sees the file the way the next start of the player would.
    qint64 number(const QString& sql)
    {
        Database fresh;
        if (!fresh.open(dbPath))
            return -1;
        Statement select = fresh.prepare(sql);
        return select.next() ? select.columnInt64(0) : -1;
    }
    QString text(const QString& sql)
    {
        Database fresh;
        if (!fresh.open(dbPath))
            return QStringLiteral("<no database>");
        Statement select = fresh.prepare(sql);
        return select.next() ? select.columnText(0) : QStringLiteral("<none>");
    }
    QString meta(const QString& key)
    {
        return text(QStringLiteral("SELECT value FROM library_meta WHERE key = '%1'").arg(key));
    }

    QTemporaryDir dir;
    QString music, dbPath, covers;
    Database db;
};

TEST_F(LibraryScannerCrash, KilledPassesLoseNothing)
{
    // 1,800 MP3 files and 200 MKV files with a video track (their frames become covers), in 20 folders.
    // Each MP3 holds 0.6 s, eight frames or more: FFmpeg then knows it for MP3 by its run of frames. With
    // three or four frames it rates MP3 no higher than H.263, and on some noise picks H.263 and cannot open
    // the file at all, which left one file out of the library now and then. A fixed seed makes every run
    // read the same files.
    const QString staging = dir.path() + "/staging";
    QDir().mkpath(staging);
    ASSERT_TRUE(segment(staging,
        { "-f", "lavfi", "-i", "anoisesrc=d=1100:r=8000:a=0.5:seed=20251", "-ac", "1", "-c:a", "libmp3lame", "-b:a",
            "16k", "-segment_time", "0.6" },
        "a%05d.mp3"));
    ASSERT_TRUE(segment(staging,
        { "-f", "lavfi", "-i", "testsrc2=s=96x64:r=10:d=101", "-c:v", "mpeg4", "-g", "5", "-segment_time", "0.5" },
        "v%05d.mkv"));
    QStringList made = QDir(staging).entryList({ "a*.mp3" }, QDir::Files, QDir::Name).mid(0, 1800);
    made += QDir(staging).entryList({ "v*.mkv" }, QDir::Files, QDir::Name).mid(0, 200);
    ASSERT_EQ(made.size(), 2000);
    for (qsizetype i = 0; i < made.size(); ++i) {
        const QString folder = QStringLiteral("%1/F%2").arg(music).arg(i % 20);
        QDir().mkpath(folder);
        const QString target = folder + "/" + made[i];
        ASSERT_TRUE(QFile::rename(staging + "/" + made[i], target));
        ASSERT_TRUE(setAge(target, 60));
    }

    // Each kill comes while another file is read: a single abnormal end sets nothing aside.
    const auto afterKill = [&](const char* when) {
        SCOPED_TRACE(when);
        EXPECT_EQ(text("PRAGMA integrity_check"), "ok");
        EXPECT_EQ(meta("scan_pending"), "1");
        EXPECT_GT(number("SELECT COUNT(*) FROM sources"), 0);
        // No file half written: every row has its kind's row and its search row.
        EXPECT_EQ(number("SELECT COUNT(*) FROM sources s WHERE NOT EXISTS(SELECT 1 FROM tracks t WHERE "
                         "t.source_id = s.id) AND NOT EXISTS(SELECT 1 FROM videos v WHERE v.source_id = s.id)"),
            0);
        EXPECT_EQ(number("SELECT COUNT(*) FROM sources WHERE id NOT IN (SELECT rowid FROM search)"), 0);
        // Every cover is whole, and every stored cover key names one.
        QDirIterator jpegs(covers, { "*.jpg" }, QDir::Files);
        while (jpegs.hasNext()) {
            QFile cover(jpegs.next());
            ASSERT_TRUE(cover.open(QIODevice::ReadOnly));
            ASSERT_GT(cover.size(), 4);
            cover.seek(cover.size() - 2);
            EXPECT_EQ(cover.read(2), QByteArray("\xFF\xD9")) << cover.fileName().toStdString();
        }
        Database fresh;
        ASSERT_TRUE(fresh.open(dbPath));
        Statement keys = fresh.prepare("SELECT DISTINCT cover_key FROM sources WHERE cover_key IS NOT NULL");
        while (keys.next())
            EXPECT_TRUE(QFile::exists(covers + "/" + keys.columnText(0) + ".jpg")) << keys.columnText(0).toStdString();
        EXPECT_EQ(number("SELECT COUNT(*) FROM library_meta WHERE key >= 'skip:' AND key < 'skip;'"), 0);
    };

    {
        ScanRun run(args());
        ASSERT_TRUE(run.waitProcessed(10));
        run.kill();
    }
    afterKill("killed at 10");

    {
        ScanRun run(args());
        ASSERT_TRUE(run.waitProcessed(250));
        // The user rates, tags and makes a playlist while the pass writes.
        Statement rate = db.prepare("INSERT OR REPLACE INTO source_ratings(source_id, rating) SELECT MIN(id), 4 "
                                    "FROM sources");
        ASSERT_TRUE(rate.run());
        Statement tag = db.prepare("INSERT INTO source_tags(source_id, tag) SELECT MAX(id), 'kept' FROM sources");
        ASSERT_TRUE(tag.run());
        Statement playlist = db.prepare("INSERT INTO playlists(id, name, created) VALUES(7, 'During scan', 1)");
        ASSERT_TRUE(playlist.run());
        ASSERT_TRUE(run.waitProcessed(500));
        run.kill();
    }
    afterKill("killed at 500");
    EXPECT_EQ(number("SELECT rating FROM source_ratings"), 4);
    EXPECT_EQ(text("SELECT tag FROM source_tags"), "kept");
    EXPECT_EQ(text("SELECT name FROM playlists WHERE id = 7"), "During scan");

    {
        ScanRun run(args());
        ASSERT_TRUE(run.waitProcessed(1500));
        run.kill();
    }
    afterKill("killed at 1500");

    // Every file is in the library after the next pass, the ones being read at the kills included.
    const qint64 before = number("SELECT COUNT(*) FROM sources");
    ScanRun complete(args());
    ASSERT_TRUE(complete.finish()) << complete.errors().toStdString();
    EXPECT_EQ(before + complete.finishedCount("added"), 2000);
    EXPECT_EQ(complete.finishedCount("leftout"), 0);
    EXPECT_EQ(number("SELECT COUNT(*) FROM sources"), 2000);
    EXPECT_EQ(number("SELECT COUNT(*) FROM videos"), 200);
    EXPECT_EQ(number("SELECT COUNT(*) - COUNT(DISTINCT uri) FROM sources"), 0);
    EXPECT_EQ(number("SELECT COUNT(*) FROM sources WHERE available = 0"), 0);
    EXPECT_EQ(number("SELECT COUNT(*) FROM library_meta WHERE key >= 'skip:' AND key < 'skip;'"), 0);
    EXPECT_EQ(complete.finishedCount("removed"), 0);
    EXPECT_EQ(meta("scan_pending"), "0");
    EXPECT_EQ(meta("probing"), "<none>");
    EXPECT_EQ(meta("interrupted"), "<none>");
    EXPECT_EQ(number("SELECT rating FROM source_ratings"), 4);
}

// Abnormal ends while one file is read: the first is forgiven (a kill, a power cut), the second in a row sets
// the file aside until it changes; a reader that really crashes on the file is no different.
TEST_F(LibraryScannerCrash, SecondAbnormalEndWhileTheSameFileIsReadSetsItAside)
{
    const auto place = [&](const char* name, const QString& target) {
        return QFile::copy(QString::fromStdString(kvr::test::fixture(name).string()), target) && setAge(target, 60);
    };
    ASSERT_TRUE(place("tags.ogg", music + "/good.ogg"));
    ASSERT_TRUE(place("cover.mp3", music + "/bad.mp3"));
    ASSERT_TRUE(place("clip.mp4", music + "/clip.mp4"));
    const QString bad = music + "/bad.mp3";

    struct End {
        const char* how;
        bool crash; // the reader aborts on the file; otherwise the run is killed from outside while it reads it
    };
    for (const End& end : { End { "killed", false }, End { "crashed", true } }) {
        SCOPED_TRACE(end.how);
        const QString stamp
            = QStringLiteral("%1:%2").arg(QFileInfo(bad).size()).arg(QFileInfo(bad).lastModified().toSecsSinceEpoch());
        const auto endWhileReadingBad = [&] {
            if (end.crash) {
                ScanRun run(args("bad.mp3"));
                ASSERT_TRUE(run.crashed());
            } else {
                ScanRun run(args({}, "bad.mp3"));
                ASSERT_TRUE(run.waitLine("reading bad.mp3"));
                run.kill();
            }
            EXPECT_EQ(meta("probing"), bad);
        };
        endWhileReadingBad();
        EXPECT_EQ(meta("skip:" + bad), "<none>");
        // Read again after the first end: in a crash it brings the process down once more.
        endWhileReadingBad();
        EXPECT_EQ(meta("interrupted"), bad);
        EXPECT_EQ(meta("skip:" + bad), "<none>");

        // Twice: the file stays set aside in later runs too, and each run says so in its log. The probe still
        // aborts on bad.mp3, so a clean exit shows that it was never read.
        for (int i = 0; i < 2; ++i) {
            ScanRun run(args("bad.mp3"));
            ASSERT_TRUE(run.finish()) << "run " << i << ": " << run.errors().toStdString();
            const QByteArray warning = "LibraryScanner: skipping " + bad.toUtf8() + ": reading it stopped the player";
            EXPECT_TRUE(run.errors().contains(warning)) << run.errors().toStdString();
            EXPECT_EQ(run.finishedCount("leftout"), 1);
            EXPECT_EQ(meta("probing"), "<none>");
            EXPECT_EQ(meta("interrupted"), "<none>");
            EXPECT_EQ(meta("skip:" + bad), stamp);
            EXPECT_EQ(number("SELECT COUNT(*) FROM sources WHERE available = 1"), 2);
            EXPECT_EQ(number(QStringLiteral("SELECT COUNT(*) FROM sources WHERE uri = '%1'").arg(bad)), 0);
            EXPECT_EQ(meta("scan_pending"), "0");
        }

        // A new modification time: read again, and the mark is dropped with the file's rows.
        ASSERT_TRUE(setAge(bad, 120));
        ScanRun fixed(args());
        ASSERT_TRUE(fixed.finish()) << fixed.errors().toStdString();
        EXPECT_EQ(fixed.finishedCount("added"), 1);
        EXPECT_EQ(fixed.finishedCount("leftout"), 0);
        EXPECT_EQ(number(QStringLiteral("SELECT COUNT(*) FROM sources WHERE uri = '%1'").arg(bad)), 1);
        EXPECT_EQ(meta("skip:" + bad), "<none>");
        EXPECT_EQ(meta("probing"), "<none>");

        // The next case starts from an unread file again.
        Statement forget = db.prepare("DELETE FROM sources WHERE uri = ?1");
        forget.bindText(1, bad);
        ASSERT_TRUE(forget.run());
        ASSERT_TRUE(setAge(bad, 60));
    }
}

} // namespace
