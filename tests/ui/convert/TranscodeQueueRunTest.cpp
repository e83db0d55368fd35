// The conversion queue running real conversions: scheduling, worker ends, cancels, progress and shutdown.
#include "ui/convert/TranscodeQueue.h"
#include "engine/convert/Transcoder.h"
#include "tests/engine/StallingHttpServer.h"
#include "tests/engine/convert/TranscoderTestSupport.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/convert/TranscodeQueueTestFiles.h"
#include "tests/ui/GTestQtPrinters.h"
#include "ui/convert/TranscodeSettings.h"

#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>

using namespace kvr::ui;
namespace fs = std::filesystem;

namespace {

constexpr int kDeadlineMs = 90'000;

using kvr::test::freshDir;
using kvr::test::q;

void writeFile(const fs::path& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary) << bytes;
}

QString queueFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/transcode_queue.json");
}

QStringList storedStates()
{
    QFile file(queueFile());
    QStringList states;
    if (!file.open(QIODevice::ReadOnly))
        return states;
    for (const QJsonValue& job : QJsonDocument::fromJson(file.readAll()).array())
        states << job.toObject().value(QStringLiteral("state")).toString();
    return states;
}

bool waitFor(const std::function<bool()>& condition, int ms = kDeadlineMs)
{
    return QTest::qWaitFor(condition, ms);
}

// A named pipe the test writes a media file into, part by part. The test holds it open for reading and writing,
// so neither end's open waits for the other, and the job's read waits for data until the test closes it.
class Fifo {
public:
    explicit Fifo(fs::path path)
        : path(std::move(path))
    {
        if (::mkfifo(this->path.c_str(), 0600) != 0)
            ADD_FAILURE() << "mkfifo " << this->path;
        fd_ = ::open(this->path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            ADD_FAILURE() << "open " << this->path;
        // Room for a whole fixture, so a write never waits for the reader.
        ::fcntl(fd_, F_SETPIPE_SZ, 1 << 20);
    }
    ~Fifo() { close(); }
    Fifo(const Fifo&) = delete;
    Fifo& operator=(const Fifo&) = delete;

    void write(const std::string& bytes)
    {
        size_t done = 0;
        QElapsedTimer clock;
        clock.start();
        while (done < bytes.size() && clock.elapsed() < kDeadlineMs) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0)
                done += static_cast<size_t>(n);
            else
                QTest::qWait(5);
        }
        EXPECT_EQ(done, bytes.size());
    }
    // Bytes written and not yet taken by the reader.
    int unread() const
    {
        int n = 0;
        ::ioctl(fd_, FIONREAD, &n);
        return n;
    }
    void close()
    {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

    const fs::path path;

private:
    int fd_ = -1;
};

// Every `jobs` snapshot the queue announced, and every end it reported.
struct Recorder {
    explicit Recorder(TranscodeQueue& queue)
        : queue(queue)
    {
        clock.start();
        QObject::connect(&queue, &TranscodeQueue::jobsChanged, &context, [this] {
            snapshots.append(this->queue.jobs());
            times.append(clock.elapsed());
        });
        QObject::connect(
            &queue, &TranscodeQueue::jobFinished, &context, [this](int id, bool ok, const QString& message) {
                finished.append({ id, ok, message });
            });
    }
    struct End {
        int id;
        bool ok;
        QString message;
    };
    // The most jobs any snapshot showed running.
    int mostRunning() const
    {
        int most = 0;
        for (const QVariantList& jobs : snapshots) {
            int n = 0;
            for (const QVariant& job : jobs)
                n += job.toMap().value(QStringLiteral("state")).toString() == QLatin1String("running") ? 1 : 0;
            most = std::max(most, n);
        }
        return most;
    }
    bool sawBothRunning(int first, int second) const
    {
        for (const QVariantList& jobs : snapshots) {
            int n = 0;
            for (const QVariant& job : jobs) {
                const QVariantMap map = job.toMap();
                const int id = map.value(QStringLiteral("id")).toInt();
                n += (id == first || id == second) && map.value(QStringLiteral("state")) == QLatin1String("running");
            }
            if (n == 2)
                return true;
        }
        return false;
    }

    TranscodeQueue& queue;
    QObject context; // the connections end with the recorder
    QElapsedTimer clock;
    QList<QVariantList> snapshots;
    QList<qint64> times;
    QList<End> finished;
};

QVariantMap jobById(const TranscodeQueue& queue, int id)
{
    for (const QVariant& job : queue.jobs()) {
        if (job.toMap().value(QStringLiteral("id")).toInt() == id)
            return job.toMap();
    }
    return {};
}

QString stateOf(const TranscodeQueue& queue, int id)
{
    return jobById(queue, id).value(QStringLiteral("state")).toString();
}

bool ended(const TranscodeQueue& queue, int id)
{
    const QString state = stateOf(queue, id);
    return state == QLatin1String("done") || state == QLatin1String("failed") || state == QLatin1String("cancelled");
}

// Each case starts with no queue file, default "convert/" settings (not paused) and a folder of its own.
class TranscodeQueueRun : public testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(queueFile());
        QSettings settings;
        settings.remove(QStringLiteral("convert"));
        folder = freshDir("queue-run");
        film = kvr::test::readFile(kvr::test::fixture("stream-30s.mkv"));
        ASSERT_FALSE(film.empty());
    }

    // A copy of a fixture in the case's folder, so that outputs land there.
    fs::path copyOf(const std::string& fixture, const std::string& name)
    {
        const fs::path path = folder / name;
        fs::copy_file(kvr::test::fixture(fixture), path, fs::copy_options::overwrite_existing);
        return path;
    }
    // A pipe named `name` holding the first half of the 30 s film: its job runs until it waits for the rest.
    std::unique_ptr<Fifo> heldInput(const std::string& name)
    {
        auto fifo = std::make_unique<Fifo>(folder / name);
        fifo->write(film.substr(0, film.size() / 2));
        return fifo;
    }
    // Only once the job's reader has the pipe open: a pipe closed by all its ends loses what it held.
    void finish(Fifo& fifo)
    {
        fifo.write(film.substr(film.size() / 2));
        fifo.close();
    }
    // Until the job's worker has taken everything written so far (it then waits at its next read).
    bool drained(const TranscodeQueue& queue, int id, const Fifo& fifo)
    {
        return waitFor([&] { return stateOf(queue, id) == QLatin1String("running") && fifo.unread() == 0; });
    }

    fs::path folder;
    std::string film;
};

} // namespace

TEST_F(TranscodeQueueRun, ConvertsAJobToTheEnd)
{
    const fs::path input = copyOf("clip.mp4", "clip.mp4");
    TranscodeQueue queue;
    Recorder recorder(queue);
    ASSERT_EQ(queue.addJobs({ q(input) }, {}), 1);
    EXPECT_EQ(stateOf(queue, 1), "running"); // started by addJobs itself
    ASSERT_TRUE(waitFor([&] { return !recorder.finished.isEmpty(); }));

    ASSERT_EQ(recorder.finished.size(), 1);
    EXPECT_EQ(recorder.finished[0].id, 1);
    EXPECT_TRUE(recorder.finished[0].ok);
    EXPECT_EQ(recorder.finished[0].message, "clip_converted.mp4");
    const QVariantMap job = jobById(queue, 1);
    EXPECT_EQ(job.value("state").toString(), "done");
    EXPECT_EQ(job.value("progress").toDouble(), 1.0);
    EXPECT_EQ(job.value("eta").toDouble(), 0.0);
    EXPECT_EQ(job.value("error").toString(), "");
    EXPECT_EQ(storedStates(), QStringList { "done" });
    const fs::path output = folder / "clip_converted.mp4";
    ASSERT_TRUE(fs::exists(output));
    EXPECT_EQ(kvr::test::decodeErrors(output), "");
    EXPECT_EQ(kvr::test::countThreadsNamed("kvr-convert"), 0);
}

TEST_F(TranscodeQueueRun, StartsInQueueOrderUpToTheConcurrency)
{
    std::unique_ptr<Fifo> inputs[3] = { heldInput("a.mkv"), heldInput("b.mkv"), heldInput("c.mkv") };
    TranscodeQueue queue;
    Recorder recorder(queue);
    queue.setConcurrency(2);
    ASSERT_EQ(queue.addJobs({ q(inputs[0]->path), q(inputs[1]->path), q(inputs[2]->path) }, {}), 3);
    EXPECT_EQ(stateOf(queue, 1), "running");
    EXPECT_EQ(stateOf(queue, 2), "running");
    EXPECT_EQ(stateOf(queue, 3), "pending");
    ASSERT_TRUE(drained(queue, 1, *inputs[0]));
    ASSERT_TRUE(drained(queue, 2, *inputs[1]));

    // A lower limit stops nothing; the third job waits until both are gone.
    queue.setConcurrency(1);
    EXPECT_EQ(queue.running(), 2);
    finish(*inputs[0]);
    ASSERT_TRUE(waitFor([&] { return ended(queue, 1); }));
    EXPECT_EQ(stateOf(queue, 1), "done");
    EXPECT_EQ(stateOf(queue, 2), "running");
    EXPECT_EQ(stateOf(queue, 3), "pending");
    finish(*inputs[1]);
    ASSERT_TRUE(waitFor([&] { return ended(queue, 2); }));
    EXPECT_EQ(stateOf(queue, 3), "running");
    ASSERT_TRUE(drained(queue, 3, *inputs[2]));

    // Paused, a running job goes on and ends, and nothing new starts; resuming starts at once.
    queue.setPaused(true);
    const fs::path clip = copyOf("clip.mp4", "d.mp4");
    ASSERT_EQ(queue.addJobs({ q(clip) }, {}), 1);
    finish(*inputs[2]);
    ASSERT_TRUE(waitFor([&] { return ended(queue, 3); }));
    EXPECT_EQ(stateOf(queue, 3), "done");
    QTest::qWait(0);
    EXPECT_EQ(stateOf(queue, 4), "pending");
    queue.setPaused(false);
    EXPECT_EQ(stateOf(queue, 4), "running");
    ASSERT_TRUE(waitFor([&] { return ended(queue, 4); }));
    EXPECT_EQ(stateOf(queue, 4), "done");
    EXPECT_EQ(recorder.mostRunning(), 2);
}

// A cancel waits for the worker, which is stuck in a read of its pipe until the test writes the rest.
TEST_F(TranscodeQueueRun, CancelEndsARunningJobWhenItsWorkerStops)
{
    struct Case {
        const char* what;
        bool remove; // remove instead of cancel
        bool keepPartial;
    };
    const Case cases[] = {
        { "cancel", false, false },
        { "cancel, keeping the partial file", false, true },
        { "remove", true, false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        std::unique_ptr<Fifo> input = heldInput("film.mkv");
        TranscodeQueue queue;
        queue.setKeepPartial(c.keepPartial);
        Recorder recorder(queue);
        ASSERT_EQ(queue.addJobs({ q(input->path) }, {}), 1);
        ASSERT_TRUE(drained(queue, 1, *input));
        const fs::path output = folder / "film_converted.mp4";
        ASSERT_TRUE(waitFor([&] { return fs::exists(output); }));

        if (c.remove)
            queue.remove(1);
        else
            queue.cancel(1);
        // Only the worker's end changes the state.
        EXPECT_EQ(stateOf(queue, 1), "running");
        EXPECT_TRUE(recorder.finished.isEmpty());

        finish(*input);
        ASSERT_TRUE(waitFor([&] { return !recorder.finished.isEmpty(); }));
        EXPECT_EQ(recorder.finished[0].id, 1);
        EXPECT_FALSE(recorder.finished[0].ok);
        EXPECT_EQ(recorder.finished[0].message, "Cancelled");
        EXPECT_EQ(queue.jobs().size(), 1);
        EXPECT_EQ(stateOf(queue, 1), "cancelled");
        EXPECT_EQ(jobById(queue, 1).value("error").toString(), "Cancelled");
        EXPECT_EQ(fs::exists(output), c.keepPartial);
        EXPECT_EQ(storedStates(), QStringList { "cancelled" });
    }
}

// A conversion that fails before it opens its output leaves the file there alone: it is the user's.
TEST_F(TranscodeQueueRun, FailureBeforeTheOutputOpensKeepsTheFileThere)
{
    struct Case {
        const char* what;
        const char* input; // in the case's folder; a fixture is copied there unless it is "missing.mp4"
        QVariantMap settings;
    };
    const Case cases[] = {
        { "missing input", "missing.mp4", { { "collision", "overwrite" } } },
        { "h264 in webm", "clip.mp4", { { "collision", "overwrite" }, { "container", "webm" } } },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        const fs::path input = folder / c.input;
        if (std::string(c.input) != "missing.mp4")
            copyOf(c.input, c.input);
        TranscodeQueue queue;
        queue.setPaused(true);
        const QString output = queue.plannedOutput(q(input), c.settings);
        const std::string precious = "the user's own file";
        writeFile(output.toStdString(), precious);
        const std::string expected
            = kvr::test::convert(toTranscodeOptions(q(input), q(folder / "probe.out"), c.settings)).message;
        ASSERT_FALSE(expected.empty());

        Recorder recorder(queue);
        ASSERT_EQ(queue.addJobs({ q(input) }, c.settings), 1);
        EXPECT_EQ(jobById(queue, 1).value("output").toString(), output);
        queue.setPaused(false);
        ASSERT_TRUE(waitFor([&] { return !recorder.finished.isEmpty(); }));
        EXPECT_EQ(stateOf(queue, 1), "failed");
        EXPECT_EQ(jobById(queue, 1).value("error").toString().toStdString(), expected);
        EXPECT_EQ(recorder.finished[0].message.toStdString(), expected);
        EXPECT_EQ(kvr::test::readFile(output.toStdString()), precious);
    }
}

// The output is a link to a full disk: the write fails, and neither the link nor the device is touched.
TEST_F(TranscodeQueueRun, FullDiskFailsAndLeavesTheLinkAlone)
{
    const fs::path input = copyOf("clip.mp4", "clip.mp4");
    const fs::path output = folder / "clip_converted.mp4";
    fs::create_symlink("/dev/full", output);
    const QVariantMap settings { { "collision", "overwrite" } };
    TranscodeQueue queue;
    Recorder recorder(queue);
    ASSERT_EQ(queue.addJobs({ q(input) }, settings), 1);
    EXPECT_EQ(jobById(queue, 1).value("output").toString(), q(output));
    ASSERT_TRUE(waitFor([&] { return !recorder.finished.isEmpty(); }));
    EXPECT_EQ(stateOf(queue, 1), "failed");
    EXPECT_EQ(jobById(queue, 1).value("error").toString(), "muxer: No space left on device");
    EXPECT_TRUE(fs::is_symlink(output));
    EXPECT_EQ(fs::read_symlink(output), "/dev/full");
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
}

// Two jobs writing one file never run at once, and the one waiting holds back those behind it.
TEST_F(TranscodeQueueRun, JobsSharingAnOutputRunOneAfterTheOther)
{
    fs::create_directories(folder / "one");
    fs::create_directories(folder / "two");
    std::unique_ptr<Fifo> first = heldInput("one/film.mkv");
    std::unique_ptr<Fifo> second = heldInput("two/film.mkv");
    const fs::path other = copyOf("clip.mp4", "clip.mp4");
    const QVariantMap settings { { "collision", "overwrite" }, { "destination", q(folder / "out") } };
    TranscodeQueue queue;
    Recorder recorder(queue);
    queue.setConcurrency(2);
    ASSERT_EQ(queue.addJobs({ q(first->path), q(second->path), q(other) }, settings), 3);
    EXPECT_EQ(jobById(queue, 1).value("output").toString(), jobById(queue, 2).value("output").toString());
    EXPECT_EQ(stateOf(queue, 1), "running");
    EXPECT_EQ(stateOf(queue, 2), "pending");
    EXPECT_EQ(stateOf(queue, 3), "pending");
    ASSERT_TRUE(drained(queue, 1, *first));
    EXPECT_EQ(stateOf(queue, 2), "pending");
    EXPECT_EQ(stateOf(queue, 3), "pending");

    finish(*first);
    ASSERT_TRUE(waitFor([&] { return ended(queue, 1); }));
    EXPECT_EQ(stateOf(queue, 1), "done");
    EXPECT_EQ(stateOf(queue, 2), "running");
    EXPECT_EQ(stateOf(queue, 3), "running");
    ASSERT_TRUE(drained(queue, 2, *second));
    finish(*second);
    ASSERT_TRUE(waitFor([&] { return ended(queue, 2) && ended(queue, 3); }));
    EXPECT_EQ(stateOf(queue, 2), "done");
    EXPECT_EQ(stateOf(queue, 3), "done");
    EXPECT_FALSE(recorder.sawBothRunning(1, 2));
    EXPECT_EQ(kvr::test::decodeErrors(jobById(queue, 2).value("output").toString().toStdString()), "");
}

// Progress of four running jobs reaches the list at most twice a second, and it rises.
TEST_F(TranscodeQueueRun, ProgressIsAnnouncedAtMostTwiceASecond)
{
    std::vector<std::unique_ptr<Fifo>> inputs;
    QStringList paths;
    for (const char* name : { "a.mkv", "b.mkv", "c.mkv", "d.mkv" }) {
        inputs.push_back(std::make_unique<Fifo>(folder / name));
        paths << q(inputs.back()->path);
    }
    TranscodeQueue queue;
    QSignalSpy started(&queue, &TranscodeQueue::jobsChanged);
    ASSERT_TRUE(started.wait()); // the first turn of the event loop has scheduled
    queue.setConcurrency(4);
    ASSERT_EQ(queue.addJobs(paths, {}), 4);
    EXPECT_EQ(queue.running(), 4);
    Recorder recorder(queue); // from here on no job starts, and none ends before the feed stops at 70 %

    // The film flows in small steps, as from a slow disk, up to 70 % of it.
    const size_t step = film.size() / 40;
    size_t fed = 0;
    QTimer feeder;
    feeder.setInterval(100);
    QObject::connect(&feeder, &QTimer::timeout, [&] {
        // The next step only once every job has taken the last: a job that starts late (its encoders still being
        // tried on a busy machine) must see the film arrive over seconds, not find most of it waiting at once.
        for (const auto& input : inputs) {
            if (input->unread() != 0)
                return;
        }
        for (auto& input : inputs)
            input->write(film.substr(fed, step));
        fed += step;
        if (fed >= step * 28)
            feeder.stop();
    });
    feeder.start();
    ASSERT_TRUE(waitFor([&] {
        if (feeder.isActive())
            return false;
        for (const auto& input : inputs) {
            if (input->unread() != 0)
                return false;
        }
        return true;
    }));
    // A starved machine's jobs work through what they read after the feed: wait for their reports, then let
    // whatever was already reported come through the timer.
    EXPECT_TRUE(waitFor([&] { return recorder.times.size() >= 3; }));
    QTest::qWait(600);
    EXPECT_TRUE(recorder.finished.isEmpty());
    EXPECT_EQ(queue.running(), 4);

    ASSERT_GE(recorder.times.size(), 3);
    for (qsizetype i = 1; i < recorder.times.size(); ++i)
        EXPECT_GE(recorder.times[i] - recorder.times[i - 1], 500) << "signals " << i - 1 << " and " << i;
    for (int index = 0; index < 4; ++index) {
        SCOPED_TRACE(index);
        const double early = recorder.snapshots.first().value(index).toMap().value("progress").toDouble();
        const double late = recorder.snapshots.last().value(index).toMap().value("progress").toDouble();
        EXPECT_GT(late, early);
        EXPECT_LT(late, 1.0);
        EXPECT_GT(jobById(queue, index + 1).value("bytes").toLongLong(), 0);
    }

    for (auto& input : inputs) {
        input->write(film.substr(fed));
        input->close();
    }
    ASSERT_TRUE(waitFor([&] { return recorder.finished.size() == 4; }));
    for (const Recorder::End& end : recorder.finished)
        EXPECT_TRUE(end.ok) << end.message.toStdString();
}

// Quitting cancels the running jobs, waits for their workers and keeps them for the next start, which begins
// them again from the start: their partial files go unless the user keeps partial files.
TEST_F(TranscodeQueueRun, ShutdownStopsRunningJobsAndKeepsThemPending)
{
    for (const bool keepPartial : { false, true }) {
        SCOPED_TRACE(keepPartial ? "keeping partial files" : "deleting partial files");
        SetUp();
        kvr::test::StallingHttpServer first(film, film.size() / 2);
        kvr::test::StallingHttpServer second(film, film.size() / 2);
        const fs::path out = folder / "out";
        const QVariantMap settings { { "destination", q(out) } };
        {
            auto queue = std::make_unique<TranscodeQueue>();
            Recorder recorder(*queue);
            queue->setConcurrency(2);
            queue->setKeepPartial(keepPartial);
            ASSERT_EQ(
                queue->addJobs({ QString::fromStdString(first.url()), QString::fromStdString(second.url()) }, settings),
                2);
            EXPECT_EQ(queue->running(), 2);
            ASSERT_TRUE(waitFor([&] { return first.sentAll && second.sentAll; }));
            ASSERT_TRUE(waitFor(
                [&] { return fs::exists(out / "film_converted.mp4") && fs::exists(out / "film_converted (2).mp4"); }));

            // The workers name themselves (and the encoders' threads they start take that name).
            EXPECT_GE(kvr::test::countThreadsNamed("kvr-convert"), 2);
            // Only the cancel can end these workers: their servers never send the rest.
            queue->shutdown(true);
            EXPECT_EQ(kvr::test::countThreadsNamed("kvr-convert"), 0);
            EXPECT_EQ(stateOf(*queue, 1), "pending");
            EXPECT_EQ(stateOf(*queue, 2), "pending");
            EXPECT_EQ(storedStates(), QStringList({ "pending", "pending" }));
            EXPECT_EQ(fs::exists(out / "film_converted.mp4"), keepPartial);
            EXPECT_EQ(fs::exists(out / "film_converted (2).mp4"), keepPartial);

            // The workers' ends still arrive, and change nothing.
            QTest::qWait(100);
            EXPECT_TRUE(recorder.finished.isEmpty());
            EXPECT_EQ(stateOf(*queue, 1), "pending");
            EXPECT_EQ(storedStates(), QStringList({ "pending", "pending" }));
        }

        // The next launch starts them again (each server now leaves the new request unanswered).
        TranscodeQueue next;
        EXPECT_EQ(next.pending(), 2);
        ASSERT_TRUE(waitFor([&] { return next.running() == 2; }));
    }
}
