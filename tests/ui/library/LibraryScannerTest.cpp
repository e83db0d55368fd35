#include "engine/Logging.h"
#include "engine/convert/MediaProbe.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/library/LibraryTestFiles.h"
#include "ui/library/Database.h"
#include "ui/library/LibraryScanner.h"
#include "ui/library/Statement.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using kvr::ui::library::Database;
using Scanner = kvr::ui::library::LibraryScanner;
using kvr::ui::library::ScanStatus;
using kvr::ui::library::Statement;
using namespace std::chrono_literals;

using kvr::test::library::place;
using kvr::test::library::setAge;
using kvr::test::library::settle;

namespace {

// The warnings of this process from the moment it is made to its end; the scanner logs on its own thread.
class Warnings {
public:
    Warnings() { previous_ = qInstallMessageHandler(&Warnings::record); }
    ~Warnings()
    {
        qInstallMessageHandler(previous_);
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    // The lines recorded since the last call, those that begin with prefix.
    QStringList take(const QString& prefix)
    {
        std::lock_guard lock(mutex_);
        QStringList taken = lines_.filter(QRegularExpression("^" + QRegularExpression::escape(prefix)));
        lines_.clear();
        return taken;
    }

private:
    static void record(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        std::lock_guard lock(mutex_);
        lines_.append(text);
    }

    static inline std::mutex mutex_;
    static inline QStringList lines_;
    QtMessageHandler previous_ = nullptr;
};

// The engine's lines at info level and above, as "<level> <text>".
class LineSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    QStringList lines()
    {
        std::lock_guard lock(mutex_);
        return lines_;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        if (msg.level >= spdlog::level::info)
            lines_ << QString::fromStdString(std::string(spdlog::level::to_string_view(msg.level).data(),
                          spdlog::level::to_string_view(msg.level).size()))
                    + " " + QString::fromUtf8(msg.payload.data(), qsizetype(msg.payload.size()));
    }
    void flush_() override { }

private:
    QStringList lines_;
};

// The reports of one scanner, and a way to wait for its passes to end.
class Reports {
public:
    void progress(const ScanStatus& status)
    {
        std::lock_guard lock(mutex_);
        progress_.push_back(status);
        changed_.notify_all();
    }
    void finished(const ScanStatus& status)
    {
        std::lock_guard lock(mutex_);
        finished_.push_back(status);
        changed_.notify_all();
    }
    // The report of the count-th finished pass (counting from 1); fails the test when it does not come.
    ScanStatus waitFinished(size_t count)
    {
        std::unique_lock lock(mutex_);
        const bool came = changed_.wait_for(lock, 120s, [&] { return finished_.size() >= count; });
        EXPECT_TRUE(came) << "pass " << count << " did not finish";
        return came ? finished_[count - 1] : ScanStatus {};
    }
    bool waitProgress(const std::function<bool(const std::vector<ScanStatus>&)>& done)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, 120s, [&] { return done(progress_); });
    }
    size_t finishedCount()
    {
        std::lock_guard lock(mutex_);
        return finished_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<ScanStatus> progress_;
    std::vector<ScanStatus> finished_;
};

class LibraryScanner : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir.isValid());
        root = dir.path();
        music = root + "/Music";
        dbPath = root + "/library.db";
        covers = root + "/covers";
        QDir().mkpath(music);
        QDir().mkpath(covers);
        ASSERT_TRUE(db.open(dbPath));
        ASSERT_TRUE(db.ensureSchema());
        addFolder(music);
    }

    void addFolder(const QString& path, bool enabled = true)
    {
        Statement insert = db.prepare("INSERT INTO library_folders(path, enabled) VALUES(?1, ?2)");
        insert.bindText(1, path).bindInt64(2, enabled ? 1 : 0);
        ASSERT_TRUE(insert.run());
    }

    std::unique_ptr<Scanner> makeScanner(Scanner::Probe probe = {})
    {
        if (!probe) {
            probe = [this](const std::string& path) {
                ++probeCalls;
                return kvr::engine::probeMedia(path);
            };
        }
        return std::make_unique<Scanner>(
            dbPath, covers, [this](const ScanStatus& s) { reports.progress(s); },
            [this](const ScanStatus& s) { reports.finished(s); }, probe);
    }

    // One full pass on a fresh scanner: its finished report.
    ScanStatus fullPass()
    {
        auto scanner = makeScanner();
        scanner->requestFullScan();
        return reports.waitFinished(++passes);
    }

    QString text(const QString& sql)
    {
        Statement select = db.prepare(sql);
        return select.next() ? select.columnText(0) : QStringLiteral("<none>");
    }
    qint64 number(const QString& sql)
    {
        Statement select = db.prepare(sql);
        return select.next() ? select.columnInt64(0) : -1;
    }
    qint64 idOf(const QString& path) { return number(QString("SELECT id FROM sources WHERE uri = '%1'").arg(path)); }
    qint64 availableOf(const QString& path)
    {
        return number(QString("SELECT available FROM sources WHERE uri = '%1'").arg(path));
    }

    QTemporaryDir dir;
    QString root, music, dbPath, covers;
    Database db;
    Reports reports;
    size_t passes = 0;
    std::atomic<int> probeCalls { 0 };
};

TEST_F(LibraryScanner, FirstPassWritesEveryFileAndSecondReadsNothing)
{
    ASSERT_TRUE(place("cover.mp3", music + "/Fixture/tone.mp3"));
    ASSERT_TRUE(place("tags.ogg", music + "/tags.ogg"));
    ASSERT_TRUE(place("clip.mp4", music + "/Clips/clip.mp4"));

    const ScanStatus first = fullPass();
    EXPECT_FALSE(first.running);
    EXPECT_EQ(first.found, 3);
    EXPECT_EQ(first.processed, 3);
    EXPECT_EQ(first.added, 3);
    EXPECT_TRUE(first.current.isEmpty());
    EXPECT_EQ(probeCalls.load(), 3);

    const QString mp3 = music + "/Fixture/tone.mp3";
    EXPECT_EQ(text(QString("SELECT kind FROM sources WHERE uri='%1'").arg(mp3)), "audio");
    EXPECT_EQ(text(QString("SELECT primary_codec FROM sources WHERE uri='%1'").arg(mp3)), "mp3");
    EXPECT_EQ(text(QString("SELECT audio_codec FROM sources WHERE uri='%1'").arg(mp3)), "mp3");
    EXPECT_GT(number(QString("SELECT duration_us FROM sources WHERE uri='%1'").arg(mp3)), 500000);
    EXPECT_EQ(number(QString("SELECT folder_id FROM sources WHERE uri='%1'").arg(mp3)), 1);
    EXPECT_EQ(text(QString("SELECT title FROM items WHERE uri='%1'").arg(mp3)), "Tone");
    EXPECT_EQ(text(QString("SELECT artist FROM items WHERE uri='%1'").arg(mp3)), "Fixture");
    EXPECT_EQ(number("SELECT COUNT(*) FROM search WHERE search MATCH 'Tone'"), 1);
    EXPECT_EQ(number(QString("SELECT COUNT(*) FROM track_artists WHERE track_source_id=%1").arg(idOf(mp3))), 1);

    const QString ogg = music + "/tags.ogg";
    EXPECT_EQ(text(QString("SELECT audio_codec FROM sources WHERE uri='%1'").arg(ogg)), "vorbis");
    EXPECT_EQ(text(QString("SELECT title FROM items WHERE uri='%1'").arg(ogg)), "Ogg Title");

    const QString mp4 = music + "/Clips/clip.mp4";
    EXPECT_EQ(text(QString("SELECT kind FROM sources WHERE uri='%1'").arg(mp4)), "video");
    EXPECT_EQ(text(QString("SELECT primary_codec FROM sources WHERE uri='%1'").arg(mp4)), "h264");
    EXPECT_EQ(text(QString("SELECT audio_codec FROM sources WHERE uri='%1'").arg(mp4)), "aac");
    EXPECT_EQ(number(QString("SELECT width FROM sources WHERE uri='%1'").arg(mp4)), 320);
    EXPECT_EQ(number(QString("SELECT COUNT(*) FROM videos WHERE source_id=%1").arg(idOf(mp4))), 1);
    EXPECT_EQ(number(QString("SELECT COUNT(*) FROM tracks WHERE source_id=%1").arg(idOf(mp4))), 0);
    EXPECT_EQ(number("SELECT COUNT(*) FROM search"), 3);
    EXPECT_EQ(text("SELECT value FROM library_meta WHERE key='scan_pending'"), "0");
    EXPECT_GT(number("SELECT last_full_scan FROM library_folders WHERE id=1"), 0);

    probeCalls = 0;
    const ScanStatus second = fullPass();
    EXPECT_EQ(probeCalls.load(), 0);
    EXPECT_EQ(second.processed, 3);
    EXPECT_EQ(second.added, 0);
    EXPECT_EQ(second.updated, 0);
    EXPECT_EQ(second.removed, 0);

    // A row marked unavailable is read again even though the file did not change.
    ASSERT_TRUE(db.exec(QString("UPDATE sources SET available=0 WHERE uri='%1'").arg(ogg).toUtf8().constData()));
    const ScanStatus third = fullPass();
    EXPECT_EQ(probeCalls.load(), 1);
    EXPECT_EQ(third.updated, 1);
    EXPECT_EQ(availableOf(ogg), 1);
}

TEST_F(LibraryScanner, MovedFileKeepsItsRowAndCaseMatters)
{
    const QString old = music + "/old name.mp3";
    ASSERT_TRUE(place("cover.mp3", old));
    ASSERT_TRUE(place("tags.ogg", music + "/A.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/Other/a.ogg"));
    ASSERT_TRUE(place("tone6.mkv", music + "/tone.mkv"));
    fullPass();
    const qint64 id = idOf(old);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(
        db.exec(QString("INSERT INTO source_ratings(source_id, rating) VALUES(%1, 5);"
                        "INSERT INTO playlists(id, name) VALUES(1, 'Mix');"
                        "INSERT INTO playlist_items(playlist_id, position, uri, source_id) VALUES(1, 0, '%2', %1)")
                    .arg(id)
                    .arg(old)
                    .toUtf8()
                    .constData()));

    const QString renamed = music + "/Moved/new name.mp3";
    QDir().mkpath(music + "/Moved");
    ASSERT_TRUE(QFile::rename(old, renamed));
    const QString copy = music + "/a copy.mkv";
    ASSERT_TRUE(place("tone6.mkv", copy));
    ASSERT_TRUE(QFile::remove(music + "/Other/a.ogg"));

    const ScanStatus pass = fullPass();
    EXPECT_EQ(pass.updated, 1);
    EXPECT_EQ(pass.added, 1);
    EXPECT_EQ(pass.removed, 1);
    EXPECT_EQ(idOf(renamed), id);
    EXPECT_EQ(idOf(old), -1);
    EXPECT_EQ(number(QString("SELECT rating FROM source_ratings WHERE source_id=%1").arg(id)), 5);
    EXPECT_EQ(text("SELECT uri FROM playlist_items WHERE playlist_id=1"), renamed);
    EXPECT_EQ(number("SELECT source_id FROM playlist_items WHERE playlist_id=1"), id);
    EXPECT_GT(idOf(copy), 0);
    EXPECT_NE(idOf(copy), idOf(music + "/tone.mkv"));
    // "a.ogg" and "A.ogg" are two files: deleting one leaves the other available.
    EXPECT_EQ(availableOf(music + "/Other/a.ogg"), 0);
    EXPECT_EQ(availableOf(music + "/A.ogg"), 1);
}

TEST_F(LibraryScanner, WalkLeavesOutExcludedHiddenFifoAndTracklessFiles)
{
    ASSERT_TRUE(place("tags.ogg", music + "/keep.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/Deep/Private/x/skip.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/Deep/private/kept.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/.hidden.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/.hiddendir/inside.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/notes.txt"));
    ASSERT_TRUE(place("garbage.mp4", music + "/garbage.mp4"));
    ASSERT_EQ(mkfifo(QFile::encodeName(music + "/x.mp3").constData(), 0644), 0);
    ASSERT_TRUE(db.exec(
        QString("INSERT INTO excluded_folders(path) VALUES('%1/Deep/Private')").arg(music).toUtf8().constData()));

    const ScanStatus pass = fullPass();
    EXPECT_EQ(pass.found, 3); // keep.ogg, kept.ogg, garbage.mp4
    EXPECT_EQ(pass.processed, 3);
    EXPECT_EQ(pass.added, 2);
    EXPECT_EQ(number("SELECT COUNT(*) FROM sources"), 2);
    EXPECT_GT(idOf(music + "/Deep/private/kept.ogg"), 0);
    EXPECT_EQ(idOf(music + "/garbage.mp4"), -1);
}

TEST_F(LibraryScanner, QueueRulesAndCancelWhileIdle)
{
    ASSERT_TRUE(place("tags.ogg", music + "/one.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/Sub/two.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/Sub/three.ogg"));

    // The first probe waits for the gate, so the requests below meet a running pass.
    std::mutex gateMutex;
    std::condition_variable gateChanged;
    bool open = false;
    std::atomic<bool> entered { false };
    auto scanner = makeScanner([&](const std::string& path) {
        entered = true;
        std::unique_lock lock(gateMutex);
        gateChanged.wait(lock, [&] { return open; });
        return kvr::engine::probeMedia(path);
    });
    scanner->requestFullScan();
    for (int i = 0; i < 12000 && !entered; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(entered.load());
    scanner->requestPaths({ music + "/Sub" });
    scanner->requestFullScan(); // replaces the directory job
    scanner->requestPaths({ music }); // behind a queued full scan: nothing
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gateChanged.notify_all();
    EXPECT_EQ(reports.waitFinished(1).found, 3);
    EXPECT_EQ(reports.waitFinished(2).found, 3);
    // Had a directory job survived, it would end before this one.
    scanner->requestPaths({ music + "/Sub" });
    EXPECT_EQ(reports.waitFinished(3).found, 2);

    scanner->cancel();
    scanner->requestFullScan();
    const ScanStatus after = reports.waitFinished(4);
    EXPECT_EQ(after.processed, 3);
    EXPECT_EQ(text("SELECT value FROM library_meta WHERE key='scan_pending'"), "0");
}

TEST_F(LibraryScanner, MarksMissingOnlyWhereItLooked)
{
    ASSERT_TRUE(place("tags.ogg", music + "/top.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/Sub/inner.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/Sub/Deeper/deep.ogg"));
    const QString other = root + "/Other";
    addFolder(other);
    ASSERT_TRUE(place("tags.ogg", other + "/away.ogg"));
    fullPass();
    ASSERT_EQ(number("SELECT COUNT(*) FROM sources WHERE available=1"), 4);

    // A directory job marks missing only the rows of its own directory.
    ASSERT_TRUE(QFile::remove(music + "/top.ogg"));
    ASSERT_TRUE(QFile::remove(music + "/Sub/Deeper/deep.ogg"));
    {
        auto scanner = makeScanner();
        scanner->requestPaths({ music + "/Sub" });
        EXPECT_EQ(reports.waitFinished(++passes).removed, 0);
        scanner->requestPaths({ music });
        EXPECT_EQ(reports.waitFinished(++passes).removed, 1);
    }
    EXPECT_EQ(availableOf(music + "/top.ogg"), 0);
    EXPECT_EQ(availableOf(music + "/Sub/Deeper/deep.ogg"), 1);
    EXPECT_EQ(text("SELECT value FROM library_meta WHERE key='scan_pending'"), "1");

    // A library folder that is offline keeps its rows until it is back.
    ASSERT_TRUE(QDir().rename(other, root + "/Renamed"));
    EXPECT_EQ(fullPass().removed, 1); // deep.ogg
    EXPECT_EQ(availableOf(other + "/away.ogg"), 1);
    EXPECT_EQ(availableOf(music + "/Sub/inner.ogg"), 1);

    // With no enabled folders, every row is unavailable.
    ASSERT_TRUE(db.exec("UPDATE library_folders SET enabled = 0"));
    EXPECT_EQ(fullPass().removed, 2);
    EXPECT_EQ(number("SELECT COUNT(*) FROM sources WHERE available=1"), 0);
}

TEST_F(LibraryScanner, CancelAtTheStartMarksNothingMissing)
{
    ASSERT_TRUE(place("tags.ogg", music + "/one.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/two.ogg"));
    fullPass();
    ASSERT_TRUE(QFile::remove(music + "/two.ogg"));

    Scanner* raw = nullptr;
    std::atomic<bool> cancelled { false };
    auto scanner = std::make_unique<Scanner>(
        dbPath, covers,
        [&](const ScanStatus& s) {
            if (!cancelled.exchange(true))
                raw->cancel();
            reports.progress(s);
        },
        [&](const ScanStatus& s) { reports.finished(s); });
    raw = scanner.get();
    scanner->requestFullScan();
    const ScanStatus pass = reports.waitFinished(++passes);
    EXPECT_EQ(pass.processed, 0);
    EXPECT_EQ(pass.removed, 0);
    EXPECT_EQ(availableOf(music + "/two.ogg"), 1);
    EXPECT_EQ(text("SELECT value FROM library_meta WHERE key='scan_pending'"), "1");
}

TEST_F(LibraryScanner, PauseHoldsNoWriteLock)
{
    ASSERT_TRUE(place("tags.ogg", music + "/one.ogg"));
    ASSERT_TRUE(place("tags.ogg", music + "/two.ogg"));
    auto scanner = makeScanner();
    scanner->setPaused(true);
    scanner->requestFullScan();
    ASSERT_TRUE(reports.waitProgress([](const std::vector<ScanStatus>& all) {
        int paused = 0;
        for (const ScanStatus& s : all)
            paused += s.paused ? 1 : 0;
        return paused >= 3;
    }));
    Database other;
    ASSERT_TRUE(other.open(dbPath));
    EXPECT_TRUE(other.exec("BEGIN IMMEDIATE; INSERT INTO source_ratings(source_id, rating) VALUES(99, 3); COMMIT"));
    EXPECT_EQ(probeCalls.load(), 0);
    EXPECT_EQ(reports.finishedCount(), 0u);
    scanner->setPaused(false);
    EXPECT_EQ(reports.waitFinished(1).added, 2);
}

TEST_F(LibraryScanner, WritesNeverStarveAnotherConnection)
{
    // Tiny stand-ins with a probe that answers at once: the pass is all database writes.
    constexpr int fileCount = 1000;
    for (int i = 0; i < fileCount; ++i) {
        const QString path = QString("%1/Bulk/%2/file %3.mp3").arg(music).arg(i / 100).arg(i);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(QByteArray::number(i));
        file.close();
        ASSERT_TRUE(settle(path));
    }
    auto scanner = makeScanner([](const std::string& path) {
        kvr::engine::MediaInfo info;
        info.path = path;
        info.formatName = "mp3";
        info.durationUs = 1000000;
        kvr::engine::TrackInfo track;
        track.kind = 1;
        track.codec = "mp3";
        track.sampleRate = 44100;
        track.channels = 2;
        info.tracks.push_back(track);
        info.tags.push_back({ "album", "Bulk" });
        return info;
    });
    Database other;
    ASSERT_TRUE(other.open(dbPath));
    scanner->requestFullScan();
    int failures = 0;
    int writes = 0;
    while (reports.finishedCount() == 0) {
        Statement rate = other.prepare("INSERT OR REPLACE INTO source_ratings(source_id, rating) VALUES(?1, 4)");
        rate.bindInt64(1, 100000 + writes);
        failures += rate.run() ? 0 : 1;
        ++writes;
        std::this_thread::sleep_for(50ms);
    }
    EXPECT_EQ(failures, 0) << "of " << writes;
    EXPECT_EQ(reports.waitFinished(1).added, fileCount);
}

TEST_F(LibraryScanner, FileStillBeingWrittenIsLeftForLater)
{
    ASSERT_TRUE(place("tags.ogg", music + "/done.ogg"));
    QDir().mkpath(music + "/Incoming");
    ASSERT_TRUE(QFile::copy(kvr::test::library::fixturePath("tags.ogg"), music + "/Incoming/copying.ogg"));
    const ScanStatus pass = fullPass();
    EXPECT_EQ(pass.added, 1);
    EXPECT_EQ(pass.settling, QStringList { music + "/Incoming" });
    EXPECT_EQ(idOf(music + "/Incoming/copying.ogg"), -1);
}

TEST_F(LibraryScanner, DestroyingDuringAPassReportsOnceAndLeavesNoThread)
{
    for (int i = 0; i < 20; ++i)
        ASSERT_TRUE(place("tags.ogg", QString("%1/f%2.ogg").arg(music).arg(i)));
    std::atomic<bool> reading { false };
    auto scanner = makeScanner([&](const std::string& path) {
        reading = true;
        std::this_thread::sleep_for(50ms);
        return kvr::engine::probeMedia(path);
    });
    scanner->requestFullScan();
    for (int i = 0; i < 12000 && !reading; ++i)
        std::this_thread::sleep_for(10ms);
    ASSERT_TRUE(reading.load());
    scanner.reset();
    EXPECT_EQ(reports.finishedCount(), 1u);
    EXPECT_EQ(kvr::test::countThreadsNamed("kvr-libscan"), 0);
}

TEST_F(LibraryScanner, FileLeftOutIsLoggedOnceWithItsReason)
{
    const QString good = music + "/good.ogg";
    const QString garbage = music + "/garbage.mp4";
    const QString quarantined = music + "/quarantined.ogg";
    ASSERT_TRUE(place("tags.ogg", good));
    ASSERT_TRUE(place("garbage.mp4", garbage));
    ASSERT_TRUE(place("tags.ogg", quarantined));
    ASSERT_TRUE(place("garbage.mp4", music + "/.hidden.mp4"));
    ASSERT_TRUE(place("garbage.mp4", music + "/notes.txt"));
    // A file an earlier run set aside: left out with a line once in this run too, so that its log tells why.
    Statement skip = db.prepare("INSERT INTO library_meta(key, value) VALUES(?1, ?2)");
    skip.bindText(1, "skip:" + quarantined)
        .bindText(2,
            QStringLiteral("%1:%2")
                .arg(QFileInfo(quarantined).size())
                .arg(QFileInfo(quarantined).lastModified().toSecsSinceEpoch()));
    ASSERT_TRUE(skip.run());

    Warnings warnings;
    const QString garbageLine = "LibraryScanner: skipping " + garbage + ": no audio or video could be read from it";
    const QString asideLine = "LibraryScanner: skipping " + quarantined
        + ": reading it stopped the player twice; it is read again once it changes";
    auto scanner = makeScanner();
    // Once when first met, not on the passes after it (a directory's job included), again once it has changed.
    struct Step {
        const char* what;
        bool touch;
        bool full;
        QStringList logged;
    };
    const Step steps[] = {
        { "first pass", false, true, { garbageLine, asideLine } },
        { "unchanged", false, true, {} },
        { "directory job", false, false, {} },
        { "touched", true, true, { garbageLine } },
        { "unchanged again", false, true, {} },
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.what);
        if (step.touch) {
            ASSERT_TRUE(setAge(garbage, 120));
        }
        if (step.full)
            scanner->requestFullScan();
        else
            scanner->requestPaths({ music });
        const ScanStatus pass = reports.waitFinished(++passes);
        EXPECT_EQ(pass.added, passes == 1 ? 1 : 0);
        // In the walk's order, which is the directory's.
        QStringList logged = warnings.take("LibraryScanner: skipping");
        QStringList expected = step.logged;
        logged.sort();
        expected.sort();
        EXPECT_EQ(logged, expected) << logged.join('\n').toStdString();
        EXPECT_EQ(pass.leftOut, 2);
    }
    EXPECT_GT(idOf(good), 0);
    EXPECT_EQ(idOf(garbage), -1);
    EXPECT_EQ(idOf(quarantined), -1);
}

// A file this user may not read is left out with a line that says so. Root reads every file, so as root the
// pass runs in a process of the unprivileged user "nobody".
TEST_F(LibraryScanner, FileWithoutReadPermissionIsLoggedAndLeftOut)
{
    const bool asRoot = ::geteuid() == 0;
    QTemporaryDir shared;
    ASSERT_TRUE(shared.isValid());
    const QString scratch = QString::fromStdString(kvr::test::scratchDirectory().string());
    ASSERT_TRUE(shared.path().startsWith(scratch + "/"));
    if (asRoot) {
        // The way down to the folder through this process's own scratch folders, without the right to list them.
        for (QString up = QFileInfo(shared.path()).path(); up.startsWith(scratch); up = QFileInfo(up).path())
            ASSERT_TRUE(QFile::setPermissions(up, QFileInfo(up).permissions() | QFile::ExeOther));
    }
    const QFile::Permissions open = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
        | QFile::WriteGroup | QFile::ExeGroup | QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    const QString base = shared.path();
    const QString songs = base + "/Songs";
    const QString library = base + "/library.db";
    const QString runtime = base + "/runtime";
    ASSERT_TRUE(QDir().mkpath(songs));
    ASSERT_TRUE(QDir().mkpath(runtime));
    ASSERT_TRUE(place("tags.ogg", songs + "/open.ogg"));
    ASSERT_TRUE(place("tags.ogg", songs + "/locked.ogg"));
    {
        Database seed;
        ASSERT_TRUE(seed.open(library));
        ASSERT_TRUE(seed.ensureSchema());
        Statement insert = seed.prepare("INSERT INTO library_folders(path) VALUES(?1)");
        insert.bindText(1, songs);
        ASSERT_TRUE(insert.run());
    }
    for (const QString& path : { base, songs, library, songs + "/open.ogg" })
        ASSERT_TRUE(QFile::setPermissions(path, open)) << path.toStdString();
    ASSERT_TRUE(QFile::setPermissions(songs + "/locked.ogg", QFile::Permissions()));
    // A runtime folder of the probe's own user, as the private log folder requires.
    if (asRoot) {
        ASSERT_EQ(::chown(QFile::encodeName(runtime).constData(), 65534, 65534), 0);
    }

    QProcess probe;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_RUNTIME_DIR", runtime);
    probe.setProcessEnvironment(environment);
    const QStringList scan { "scan", library, "--covers", base + "/covers" };
    if (asRoot) {
        probe.start("setpriv",
            QStringList { "--reuid=65534", "--regid=65534", "--clear-groups", "--", KVR_LIBRARY_SCAN_PROBE } + scan);
    } else {
        probe.start(KVR_LIBRARY_SCAN_PROBE, scan);
    }
    ASSERT_TRUE(probe.waitForFinished(240000));
    const QString errors = QString::fromUtf8(probe.readAllStandardError());
    ASSERT_EQ(probe.exitStatus(), QProcess::NormalExit);
    ASSERT_EQ(probe.exitCode(), 0) << errors.toStdString();
    EXPECT_TRUE(probe.readAllStandardOutput().contains("finished processed 1 added 1 updated 0 removed 0 leftout 1"));

    const QStringList logged = errors.split('\n').filter(QRegularExpression("^LibraryScanner: skipping"));
    EXPECT_EQ(logged, QStringList { "LibraryScanner: skipping " + songs + "/locked.ogg: no permission to read it" })
        << errors.toStdString();
    Database check;
    ASSERT_TRUE(check.open(library));
    Statement uris = check.prepare("SELECT uri FROM sources");
    QStringList stored;
    while (uris.next())
        stored << uris.columnText(0);
    EXPECT_EQ(stored, QStringList { songs + "/open.ogg" });
}

// Folders of one pass that lie one inside another (a library folder inside another, changes in a folder and
// in its subfolder) are walked once: no file is read or counted twice.
TEST_F(LibraryScanner, NestedFoldersOfOnePassAreWalkedOnce)
{
    ASSERT_TRUE(place("tags.ogg", music + "/a.ogg"));
    ASSERT_TRUE(place("cover.mp3", music + "/Sub/b.mp3"));
    ASSERT_TRUE(place("garbage.mp4", music + "/Sub/garbage.mp4"));
    addFolder(music + "/Sub");
    auto scanner = makeScanner();
    struct Step {
        const char* what;
        bool full;
        int probes;
    };
    // The second pass reads only the file it could not read the first time.
    for (const Step& step : { Step { "full pass", true, 3 }, Step { "directory pass", false, 1 } }) {
        SCOPED_TRACE(step.what);
        probeCalls = 0;
        if (step.full)
            scanner->requestFullScan();
        else
            scanner->requestPaths({ music + "/Sub", music });
        const ScanStatus pass = reports.waitFinished(++passes);
        EXPECT_EQ(pass.found, 3);
        EXPECT_EQ(pass.processed, 3);
        EXPECT_EQ(pass.leftOut, 1);
        EXPECT_EQ(probeCalls, step.probes);
    }
    EXPECT_EQ(number("SELECT COUNT(*) FROM sources"), 2);
}

// What a pass over a real folder leaves in the log: one line for the pass and one for each file left out, the
// file whose name is not valid UTF-8 included (with its bytes escaped). The probe's own lines for each file
// go to debug; outside the scanner the same probe still logs its line.
TEST_F(LibraryScanner, LargePassLogsOneLineAndOneForEachFileLeftOut)
{
    const QString staging = root + "/staging";
    QDir().mkpath(staging);
    ASSERT_TRUE(kvr::test::library::segment(staging,
        { "-f", "lavfi", "-i", "anoisesrc=d=610:r=8000:a=0.5:seed=86", "-ac", "1", "-c:a", "libmp3lame", "-b:a", "16k",
            "-segment_time", "0.6" },
        "a%04d.mp3"));
    const QStringList made = QDir(staging).entryList({ "a*.mp3" }, QDir::Files, QDir::Name).mid(0, 1000);
    ASSERT_EQ(made.size(), 1000);
    for (qsizetype i = 0; i < made.size(); ++i) {
        const QString target = QStringLiteral("%1/F%2/%3").arg(music).arg(i % 10).arg(made[i]);
        QDir().mkpath(QFileInfo(target).absolutePath());
        ASSERT_TRUE(QFile::rename(staging + "/" + made[i], target));
        ASSERT_TRUE(settle(target));
    }
    const QString garbage = music + "/F3/garbage.mp4";
    ASSERT_TRUE(place("garbage.mp4", garbage));
    // Latin-1 names, as an old copy brings them: a song, a note and a hidden file.
    const QByteArray folder = QFile::encodeName(music + "/F7");
    for (const QByteArray& name :
        { QByteArray("Caf\xe9 Noir.mp3"), QByteArray("notes \xe9t\xe9.txt"), QByteArray(".cach\xe9.mp3") }) {
        const QByteArray path = folder + "/" + name;
        ASSERT_EQ(::link(QFile::encodeName(music + "/F7/" + made[7]).constData(), path.constData()), 0);
    }

    kvr::engine::init_logging();
    const auto engineLines = std::make_shared<LineSink>();
    kvr::engine::defaultLogger()->sinks().push_back(engineLines);
    Warnings qtLines;
    const ScanStatus pass = fullPass();
    auto& sinks = kvr::engine::defaultLogger()->sinks();
    sinks.erase(std::remove(sinks.begin(), sinks.end(), engineLines), sinks.end());

    EXPECT_EQ(pass.added, 1000);
    EXPECT_EQ(pass.found, 1001);
    EXPECT_EQ(pass.leftOut, 2);
    QStringList lines = qtLines.take("");
    lines.sort();
    ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    EXPECT_EQ(lines[0].section(" in ", 0, 0), "LibraryScanner: full pass done");
    EXPECT_TRUE(lines[0].endsWith(" s: 1000 added, 0 changed, 0 removed, 2 left out")) << lines[0].toStdString();
    EXPECT_EQ(
        lines[1], "LibraryScanner: skipping " + music + "/F3/garbage.mp4: no audio or video could be read from it");
    EXPECT_EQ(lines[2],
        "LibraryScanner: skipping " + music
            + "/F7/Caf\\xe9 Noir.mp3: its name is not valid UTF-8; rename it to read it");
    EXPECT_EQ(engineLines->lines(), QStringList {});

    // The same probe on another thread, as playback opens a file, keeps its line.
    kvr::engine::defaultLogger()->sinks().push_back(engineLines);
    EXPECT_FALSE(kvr::engine::probeMedia((music + "/F1/" + made[1]).toStdString()).tracks.empty());
    sinks.erase(std::remove(sinks.begin(), sinks.end(), engineLines), sinks.end());
    const QStringList playback = engineLines->lines();
    ASSERT_EQ(playback.size(), 1) << playback.join('\n').toStdString();
    EXPECT_TRUE(playback[0].startsWith("info Demuxer: opened '" + music + "/F1/")) << playback[0].toStdString();
}

} // namespace
