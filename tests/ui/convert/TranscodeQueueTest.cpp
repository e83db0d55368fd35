#include "ui/convert/TranscodeQueue.h"
#include "engine/convert/Transcoder.h"
#include "tests/support/TestSupport.h"
#include "tests/ui/convert/TranscodeQueueTestFiles.h"
#include "tests/ui/GTestQtPrinters.h"
#include "ui/convert/TranscodeSettings.h"

#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>
#include <QUrl>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

using namespace kvr::ui;
namespace fs = std::filesystem;

namespace {

using kvr::test::freshDir;
using kvr::test::q;

void touch(const fs::path& path)
{
    std::ofstream(path, std::ios::binary) << "x";
}

QString queueFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/transcode_queue.json");
}

void writeQueueFile(const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(queueFile()).absolutePath());
    QFile file(queueFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

QByteArray readQueueFile()
{
    QFile file(queueFile());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QVariantMap jobAt(const TranscodeQueue& queue, int index)
{
    return queue.jobs().value(index).toMap();
}

QList<int> ids(const TranscodeQueue& queue)
{
    QList<int> list;
    for (const QVariant& job : queue.jobs())
        list.append(job.toMap().value(QStringLiteral("id")).toInt());
    return list;
}

class OpenedUrls : public QObject {
    Q_OBJECT
public:
    QList<QUrl> urls;
public slots:
    void open(const QUrl& url) { urls.append(url); }
};

// Every case starts without a queue file and without "convert/" settings, paused, so that no job is ever
// started by a queue here, and with a folder of its own.
class TranscodeQueueTest : public testing::Test {
protected:
    void SetUp() override
    {
        QFile::remove(queueFile());
        QSettings settings;
        settings.remove(QStringLiteral("convert"));
        settings.setValue(QStringLiteral("convert/paused"), true);
        folder = freshDir("queue");
    }

    std::unique_ptr<TranscodeQueue> freshQueue()
    {
        QFile::remove(queueFile());
        return std::make_unique<TranscodeQueue>();
    }

    fs::path folder;
};

using TranscodeQueueNames = TranscodeQueueTest;
using TranscodeQueueCollisions = TranscodeQueueTest;
using TranscodeQueueFile = TranscodeQueueTest;
using TranscodeQueueSettings = TranscodeQueueTest;
using TranscodeQueueProbe = TranscodeQueueTest;
using TranscodeQueueJobs = TranscodeQueueTest;

} // namespace

// The planned name, and the one a queued job gets, for each placeholder and folder rule. "out/" stands for
// another folder given as a "file:" URL, "url:" for an input given as one.
TEST_F(TranscodeQueueNames, PlansOutputsFromThePatternAndFolder)
{
    const fs::path other = freshDir("elsewhere");
    const struct {
        const char* tag;
        const char* input;
        const char* pattern; // null keeps the default
        QVariantMap settings;
        const char* planned;
        const char* queued;
    } cases[] = {
        { "default", "clip.mkv", nullptr, { { "container", "mp4" } }, "clip_converted.mp4", "clip_converted.mp4" },
        { "input url", "url:clip.mkv", nullptr, {}, "clip_converted.mp4", "clip_converted.mp4" },
        { "destination url", "clip.mkv", nullptr, { { "destination", "out/" } }, "out/clip_converted.mp4",
            "out/clip_converted.mp4" },
        { "no dot", "clip.mkv", "{name}", {}, "clip.mp4", "clip.mp4" },
        { "format and quality", "clip.mkv", "{name}_{format}_{quality}", { { "videoCodec", "h264" }, { "quality", 3 } },
            "clip_h264_best.mp4", "clip_h264_best.mp4" },
        { "audio only", "clip.mkv", "{name}_{format}_{quality}",
            { { "videoCodec", "none" }, { "audioCodec", "mp3" }, { "container", "mp3" }, { "quality", 2 } },
            "clip_mp3_balanced.mp3", "clip_mp3_balanced.mp3" },
        { "quality above", "clip.mkv", "{name}_{quality}", { { "quality", 9 } }, "clip_best.mp4", "clip_best.mp4" },
        { "quality below", "clip.mkv", "{name}_{quality}", { { "quality", -4 } }, "clip_fastest.mp4",
            "clip_fastest.mp4" },
        { "last dot only", "clip.part1.mkv", nullptr, {}, "clip.part1_converted.mp4", "clip.part1_converted.mp4" },
        { "output is the input", "clip.mp4", "{name}.{ext}", { { "container", "mp4" } }, "clip.mp4",
            "clip_converted.mp4" },
    };
    auto resolve = [&](const QString& text) {
        return text.startsWith(QLatin1String("out/")) ? q(other / text.mid(4).toStdString())
                                                      : q(folder / text.toStdString());
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.tag);
        QString input = QString::fromUtf8(c.input);
        const bool asUrl = input.startsWith(QLatin1String("url:"));
        if (asUrl)
            input = input.mid(4);
        touch(folder / input.toStdString());
        const QString text = asUrl ? QUrl::fromLocalFile(resolve(input)).toString() : resolve(input);
        QVariantMap settings = c.settings;
        if (settings.value(QStringLiteral("destination")).toString() == QLatin1String("out/"))
            settings[QStringLiteral("destination")] = QUrl::fromLocalFile(q(other)).toString();

        auto queue = freshQueue();
        // The pattern is a stored setting: every row sets its own.
        queue->setFilenamePattern(QString::fromUtf8(c.pattern ? c.pattern : kDefaultFilenamePattern));
        EXPECT_EQ(queue->plannedOutput(text, settings), resolve(QString::fromUtf8(c.planned)));
        ASSERT_EQ(queue->addJobs({ text }, settings), 1);
        EXPECT_EQ(jobAt(*queue, 0).value(QStringLiteral("output")).toString(), resolve(QString::fromUtf8(c.queued)));
        EXPECT_EQ(jobAt(*queue, 0).value(QStringLiteral("input")).toString(), resolve(input));
    }
}

TEST_F(TranscodeQueueCollisions, RenamesPastExistingFiles)
{
    touch(folder / "clip.mkv");
    touch(folder / "clip_converted.mp4");
    touch(folder / "clip_converted (2).mp4");
    TranscodeQueue queue;
    ASSERT_EQ(queue.addJobs({ q(folder / "clip.mkv") }, { { "collision", "rename" } }), 1);
    EXPECT_EQ(jobAt(queue, 0).value(QStringLiteral("output")).toString(), q(folder / "clip_converted (3).mp4"));
    // A pending job's output is taken too, and the number grows from the first taken name, never nesting.
    ASSERT_EQ(queue.addJobs({ q(folder / "clip.mkv") }, {}), 1);
    EXPECT_EQ(jobAt(queue, 1).value(QStringLiteral("output")).toString(), q(folder / "clip_converted (4).mp4"));
}

// Two inputs of one call that plan the same name: the first job counts when the second is named.
TEST_F(TranscodeQueueCollisions, SettlesTwoInputsOfOneCall)
{
    touch(folder / "clip.mkv");
    touch(folder / "clip.mov");
    const struct {
        const char* mode;
        int added;
        const char* second;
    } cases[] = {
        { "rename", 2, "clip_converted (2).mp4" },
        { "skip", 1, nullptr },
        { "overwrite", 2, "clip_converted.mp4" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        auto queue = freshQueue();
        EXPECT_EQ(
            queue->addJobs({ q(folder / "clip.mkv"), q(folder / "clip.mov") }, { { "collision", c.mode } }), c.added);
        ASSERT_EQ(queue->jobs().size(), c.added);
        EXPECT_EQ(jobAt(*queue, 0).value(QStringLiteral("output")).toString(), q(folder / "clip_converted.mp4"));
        if (c.second) {
            EXPECT_EQ(jobAt(*queue, 1).value(QStringLiteral("output")).toString(), q(folder / c.second));
        }
    }
}

// Finished jobs no longer hold their output name.
TEST_F(TranscodeQueueCollisions, OnlyPendingAndRunningJobsHoldAName)
{
    touch(folder / "clip.mkv");
    TranscodeQueue queue;
    ASSERT_EQ(queue.addJobs({ q(folder / "clip.mkv") }, {}), 1);
    queue.cancel(jobAt(queue, 0).value(QStringLiteral("id")).toInt());
    ASSERT_EQ(queue.addJobs({ q(folder / "clip.mkv") }, { { "collision", "skip" } }), 1);
    EXPECT_EQ(jobAt(queue, 1).value(QStringLiteral("output")).toString(), q(folder / "clip_converted.mp4"));
}

TEST_F(TranscodeQueueFile, RoundTripKeepsJobsInCompactSortedJson)
{
    touch(folder / "a.mkv");
    touch(folder / "b.mkv");
    const QVariantMap settings { { "container", "mkv" }, { "videoCodec", "h264" }, { "audioCodec", "opus" },
        { "audioStreams", QVariantList { 1, 3 } }, { "quality", 3 }, { "keepCover", false },
        { "nested", QVariantMap { { "x", "y z" } } } };
    QList<int> before;
    {
        TranscodeQueue queue;
        ASSERT_EQ(queue.addJobs({ q(folder / "a.mkv"), q(folder / "b.mkv") }, settings), 2);
        queue.cancel(jobAt(queue, 1).value(QStringLiteral("id")).toInt());
        before = ids(queue);
    }
    const QByteArray bytes = readQueueFile();
    ASSERT_FALSE(bytes.isEmpty());
    EXPECT_EQ(bytes, QJsonDocument::fromJson(bytes).toJson(QJsonDocument::Compact));
    const QList<QByteArray> keys {
        "\"error\":", "\"id\":", "\"input\":", "\"output\":", "\"settings\":", "\"state\":"
    };
    qsizetype at = 0;
    for (const QByteArray& key : keys) {
        const qsizetype next = bytes.indexOf(key, at);
        EXPECT_GT(next, at - 1) << key.toStdString() << " in " << bytes.toStdString();
        at = next;
    }

    TranscodeQueue reloaded;
    EXPECT_EQ(ids(reloaded), before);
    const QVariantMap first = jobAt(reloaded, 0);
    EXPECT_EQ(first.value(QStringLiteral("input")).toString(), q(folder / "a.mkv"));
    EXPECT_EQ(first.value(QStringLiteral("output")).toString(), q(folder / "a_converted.mkv"));
    EXPECT_EQ(first.value(QStringLiteral("state")).toString(), QStringLiteral("pending"));
    EXPECT_EQ(jobAt(reloaded, 1).value(QStringLiteral("state")).toString(), QStringLiteral("cancelled"));
    EXPECT_EQ(jobAt(reloaded, 1).value(QStringLiteral("error")).toString(), QStringLiteral("Cancelled"));
    const QVariantMap stored = reloaded.jobSettings(before[0]);
    EXPECT_EQ(stored.value(QStringLiteral("audioStreams")).toList(), (QVariantList { 1.0, 3.0 }));
    EXPECT_EQ(stored.value(QStringLiteral("nested")).toMap().value(QStringLiteral("x")), QStringLiteral("y z"));
    const kvr::engine::TranscodeOptions options = toTranscodeOptions(q(folder / "a.mkv"), q(folder / "a.out"), stored);
    EXPECT_EQ(options.audioStreams, (std::vector<int> { 1, 3 }));
    EXPECT_EQ(options.quality, 3);
    EXPECT_FALSE(options.keepCover);
}

TEST_F(TranscodeQueueFile, MalformedFileGivesAnEmptyQueue)
{
    for (const char* content : { "[{\"id\":1,", "{\"id\":1,\"state\":\"pending\"}", "" }) {
        SCOPED_TRACE(content);
        writeQueueFile(content);
        TranscodeQueue queue;
        EXPECT_TRUE(queue.jobs().isEmpty());
        EXPECT_EQ(queue.pending(), 0);
    }
}

// A stored running job runs again from the start; a done one shows its end; a job without a state stays listed
// and is only moved by retry or remove.
TEST_F(TranscodeQueueFile, ReadsStoredStates)
{
    writeQueueFile(R"([{"id":1,"input":"/m/a.mkv","output":"/m/a.mp4","settings":{},"state":"running"},)"
                   R"({"id":2,"input":"/m/b.mkv","output":"/m/b.mp4","settings":{},"state":"done"},)"
                   R"({"id":3,"input":"/m/c.mkv","output":"/m/c.mp4","settings":{}}])");
    TranscodeQueue queue;
    ASSERT_EQ(queue.jobs().size(), 3);
    EXPECT_EQ(jobAt(queue, 0).value(QStringLiteral("state")).toString(), QStringLiteral("pending"));
    EXPECT_EQ(jobAt(queue, 0).value(QStringLiteral("progress")).toDouble(), 0.0);
    EXPECT_EQ(jobAt(queue, 1).value(QStringLiteral("progress")).toDouble(), 1.0);
    EXPECT_EQ(jobAt(queue, 2).value(QStringLiteral("state")).toString(), QString());
    EXPECT_EQ(queue.pending(), 1);
    EXPECT_EQ(queue.running(), 0);

    queue.clearFinished();
    EXPECT_EQ(ids(queue), (QList<int> { 1, 3 }));
    queue.retry(3);
    EXPECT_EQ(jobAt(queue, 1).value(QStringLiteral("state")).toString(), QStringLiteral("pending"));

    writeQueueFile(R"([{"id":4,"input":"/m/d.mkv","output":"/m/d.mp4","settings":{}}])");
    TranscodeQueue second;
    second.remove(4);
    EXPECT_TRUE(second.jobs().isEmpty());
    EXPECT_EQ(readQueueFile(), QByteArray("[]"));
}

// Two jobs of one id would share a worker and its end report: duplicate, zero and negative ids get the next free
// ids, after every stored one, and new jobs come after those.
TEST_F(TranscodeQueueFile, RenumbersDuplicateAndZeroIds)
{
    writeQueueFile(R"([{"id":3,"state":"pending"},{"id":3,"state":"pending"},{"id":0,"state":"pending"},)"
                   R"({"state":"done"},{"id":-2,"state":"failed"},{"id":7,"state":"pending"},"not an object"])");
    touch(folder / "clip.mkv");
    TranscodeQueue queue;
    EXPECT_EQ(ids(queue), (QList<int> { 3, 8, 9, 10, 11, 7, 12 }));
    ASSERT_EQ(queue.addJobs({ q(folder / "clip.mkv") }, {}), 1);
    EXPECT_EQ(ids(queue).last(), 13);
    // Each id now reaches its own job.
    queue.cancel(8);
    EXPECT_EQ(jobAt(queue, 0).value(QStringLiteral("state")).toString(), QStringLiteral("pending"));
    EXPECT_EQ(jobAt(queue, 1).value(QStringLiteral("state")).toString(), QStringLiteral("cancelled"));
}

// Ids at the end of the int's range leave no room for the next: every job stays, each with an id of its own that
// is positive, and a job added later still gets a fresh one.
TEST_F(TranscodeQueueFile, IdsAtTheEndOfTheRangeNeverWrap)
{
    touch(folder / "clip.mkv");
    const struct {
        const char* file;
        int jobs;
    } rows[] = {
        { R"([{"id":2147483647,"state":"pending"}])", 1 },
        { R"([{"id":2147483646,"state":"pending"},{"id":0,"state":"pending"}])", 2 },
        { R"([{"id":-1,"state":"pending"},{"id":2147483647,"state":"done"},{"id":2147483646,"state":"failed"},)"
          R"({"id":1,"state":"pending"},{"id":2147483646,"state":"pending"}])",
            5 },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.file);
        writeQueueFile(row.file);
        TranscodeQueue queue;
        ASSERT_EQ(queue.jobs().size(), row.jobs);
        ASSERT_EQ(queue.addJobs({ q(folder / "clip.mkv") }, {}), 1);
        const QList<int> all = ids(queue);
        EXPECT_EQ(QSet<int>(all.begin(), all.end()).size(), all.size()) << ::testing::PrintToString(all);
        for (const int id : all)
            EXPECT_GT(id, 0) << ::testing::PrintToString(all);
        // Each id reaches its own job, the added one too.
        queue.cancel(all.last());
        EXPECT_EQ(
            jobAt(queue, int(all.size()) - 1).value(QStringLiteral("state")).toString(), QStringLiteral("cancelled"));
        EXPECT_EQ(jobAt(queue, 0).value(QStringLiteral("state")).toString(), QStringLiteral("pending"));
    }
}

TEST_F(TranscodeQueueSettings, ReadsAndStoresTheConvertKeys)
{
    for (const auto& [stored, read] : { std::pair { 3, 3 }, { 0, 1 }, { -3, 1 }, { 9, 4 } }) {
        SCOPED_TRACE(stored);
        QSettings().setValue(QStringLiteral("convert/concurrency"), stored);
        EXPECT_EQ(TranscodeQueue().concurrency(), read);
    }

    TranscodeQueue queue;
    QSignalSpy changed(&queue, &TranscodeQueue::settingsChanged);
    queue.setPaused(true); // as stored by the set-up
    queue.setConcurrency(4); // as stored last
    queue.setConcurrency(12);
    queue.setKeepPartial(false);
    queue.setFilenamePattern(QStringLiteral("  {name}_converted.{ext} "));
    EXPECT_EQ(changed.count(), 0);

    queue.setConcurrency(1);
    queue.setKeepPartial(true);
    queue.setFilenamePattern(QStringLiteral(" {name}-x "));
    EXPECT_EQ(changed.count(), 3);
    EXPECT_EQ(queue.filenamePattern(), QStringLiteral("{name}-x"));
    queue.setFilenamePattern(QStringLiteral(" \t "));
    EXPECT_EQ(changed.count(), 4);
    EXPECT_EQ(queue.filenamePattern(), QStringLiteral("{name}_converted.{ext}"));

    const QSettings settings;
    EXPECT_EQ(settings.value(QStringLiteral("convert/pattern")).toString(), QStringLiteral("{name}_converted.{ext}"));
    EXPECT_EQ(settings.value(QStringLiteral("convert/concurrency")).toInt(), 1);
    EXPECT_TRUE(settings.value(QStringLiteral("convert/keepPartial")).toBool());
}

TEST_F(TranscodeQueueSettings, LastSettingsSurviveANewQueue)
{
    touch(folder / "clip.mkv");
    const QVariantMap settings { { "container", "mkv" }, { "audioStreams", QVariantList { 2, 1 } },
        { "subtitles", "burn" }, { "fps", 29.97 } };
    {
        TranscodeQueue queue;
        QSignalSpy changed(&queue, &TranscodeQueue::settingsChanged);
        queue.addJobs({ q(folder / "clip.mkv") }, settings);
        EXPECT_EQ(changed.count(), 1);
        EXPECT_EQ(queue.lastSettings(), settings);
    }
    EXPECT_EQ(TranscodeQueue().lastSettings(), settings);
}

// Each key with its default and bounds; what the queue file gives back as doubles reads the same.
using Options = kvr::engine::TranscodeOptions;

TEST_F(TranscodeQueueSettings, MapsTheSettingsToTheEngineRequest)
{
    const kvr::engine::TranscodeOptions defaults = toTranscodeOptions(QStringLiteral("/in/a b.mkv"), "/out/c.mp4", {});
    EXPECT_EQ(defaults.input, "/in/a b.mkv");
    EXPECT_EQ(defaults.output, "/out/c.mp4");
    EXPECT_EQ(defaults.container, "mp4");
    EXPECT_EQ(defaults.videoCodec, "h264");
    EXPECT_EQ(defaults.audioCodec, "aac");
    EXPECT_EQ(defaults.quality, 2);
    EXPECT_EQ(defaults.subtitleStream, -1);
    EXPECT_TRUE(defaults.keepMetadata);
    EXPECT_TRUE(defaults.keepCover);

    const struct {
        const char* key;
        QVariant value;
        int (*field)(const Options&);
        int expected;
    } cases[] = {
        { "quality", 9, [](const Options& o) { return o.quality; }, 3 },
        { "quality", -4, [](const Options& o) { return o.quality; }, 0 },
        { "quality", 1.0, [](const Options& o) { return o.quality; }, 1 },
        { "rateMode", "twopass", [](const Options& o) { return o.rateMode; }, 2 },
        { "rateMode", "TwoPass", [](const Options& o) { return o.rateMode; }, 0 },
        { "rateMode", "bitrate", [](const Options& o) { return o.rateMode; }, 1 },
        { "subtitles", "copy", [](const Options& o) { return o.subtitles; }, 1 },
        { "subtitles", "convert", [](const Options& o) { return o.subtitles; }, 2 },
        { "subtitles", "burn", [](const Options& o) { return o.subtitles; }, 3 },
        { "subtitles", "none", [](const Options& o) { return o.subtitles; }, 0 },
        { "videoKbps", -5, [](const Options& o) { return o.videoKbps; }, 0 },
        { "videoKbps", 2500.0, [](const Options& o) { return o.videoKbps; }, 2500 },
        { "maxHeight", "tall", [](const Options& o) { return o.maxHeight; }, 0 },
        { "audioChannels", 6, [](const Options& o) { return o.audioChannels; }, 6 },
        { "fps", -1, [](const Options& o) { return static_cast<int>(o.fps); }, 0 },
        { "subtitleStream", 3.0, [](const Options& o) { return o.subtitleStream; }, 3 },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.key) + " " + c.value.toString().toStdString());
        EXPECT_EQ(c.field(toTranscodeOptions({}, {}, { { c.key, c.value } })), c.expected);
    }
}

TEST_F(TranscodeQueueProbe, LabelsTracksForTheDialog)
{
    TranscodeQueue queue;
    const QVariantMap commentary = queue.probe(q(kvr::test::fixture("commentary.mkv")));
    EXPECT_TRUE(commentary.value(QStringLiteral("ok")).toBool());
    EXPECT_TRUE(commentary.value(QStringLiteral("hasVideo")).toBool());
    EXPECT_GT(commentary.value(QStringLiteral("durationUs")).toLongLong(), 500000);
    const QVariantList audio = commentary.value(QStringLiteral("audio")).toList();
    ASSERT_EQ(audio.size(), 1);
    EXPECT_EQ(audio[0].toMap().value(QStringLiteral("label")).toString(), QStringLiteral("Commentary · eng  (aac)"));
    EXPECT_EQ(audio[0].toMap().value(QStringLiteral("id")).toInt(), 1);
    const QVariantList subtitles = commentary.value(QStringLiteral("subtitles")).toList();
    ASSERT_EQ(subtitles.size(), 1);
    EXPECT_EQ(subtitles[0].toMap().value(QStringLiteral("label")).toString(), QStringLiteral("Track 2  (subrip)"));
    EXPECT_EQ(subtitles[0].toMap().value(QStringLiteral("id")).toInt(), 2);
    EXPECT_FALSE(subtitles[0].toMap().value(QStringLiteral("bitmap")).toBool());

    // Given as a "file:" URL, as the dialog's file picker hands it over.
    const QVariantMap multi = queue.probe(QUrl::fromLocalFile(q(kvr::test::fixture("multi.mkv"))).toString());
    const QVariantList multiSubtitles = multi.value(QStringLiteral("subtitles")).toList();
    ASSERT_EQ(multiSubtitles.size(), 1);
    EXPECT_EQ(multiSubtitles[0].toMap().value(QStringLiteral("label")).toString(), QStringLiteral("eng  (subrip)"));
    EXPECT_EQ(multi.value(QStringLiteral("audio")).toList().size(), 2);

    const QVariantMap missing = queue.probe(q(folder / "missing.mkv"));
    EXPECT_FALSE(missing.value(QStringLiteral("ok")).toBool());
    EXPECT_FALSE(missing.value(QStringLiteral("hasVideo")).toBool());
    EXPECT_TRUE(missing.value(QStringLiteral("audio")).toList().isEmpty());
    EXPECT_TRUE(missing.value(QStringLiteral("subtitles")).toList().isEmpty());
}

// The engine's first answer runs test encodes for seconds: the queue asks for it on a worker, so the first read
// returns at once, empty, and the lists follow with capabilitiesChanged.
TEST_F(TranscodeQueueProbe, CapabilitiesAndCodecChecksComeFromTheEngine)
{
    TranscodeQueue queue;
    QSignalSpy announced(&queue, &TranscodeQueue::capabilitiesChanged);
    EXPECT_TRUE(queue.capabilities().isEmpty());
    ASSERT_TRUE(QTest::qWaitFor([&] { return announced.count() > 0; }, 120000));
    EXPECT_EQ(announced.count(), 1);
    const QVariantMap caps = queue.capabilities();
    const kvr::engine::TranscodeCapabilities& engineCaps = kvr::engine::Transcoder::capabilities();
    const struct {
        const char* key;
        const std::vector<std::string>& names;
    } lists[] = { { "video", engineCaps.videoCodecs }, { "audio", engineCaps.audioCodecs },
        { "containers", engineCaps.containers }, { "hardware", engineCaps.hardwareEncoders } };
    for (const auto& list : lists) {
        SCOPED_TRACE(list.key);
        QStringList expected;
        for (const std::string& name : list.names)
            expected.append(QString::fromStdString(name));
        EXPECT_EQ(caps.value(QString::fromUtf8(list.key)).toStringList(), expected);
    }
    EXPECT_TRUE(caps.value(QStringLiteral("video")).toStringList().contains(QStringLiteral("h264")));
    EXPECT_TRUE(caps.value(QStringLiteral("containers")).toStringList().contains(QStringLiteral("mp4")));

    EXPECT_EQ(queue.checkCodecs(QStringLiteral("webm"), QStringLiteral("h264"), QStringLiteral("opus")),
        QStringLiteral("WebM allows only VP9 or AV1 video"));
    EXPECT_EQ(queue.checkCodecs(QStringLiteral("mp4"), QStringLiteral("h264"), QStringLiteral("aac")), QString());
}

TEST_F(TranscodeQueueJobs, ListsJobsWithTheirSummary)
{
    touch(folder / "clip.mkv");
    TranscodeQueue queue;
    QSignalSpy changed(&queue, &TranscodeQueue::jobsChanged);
    ASSERT_EQ(queue.addJobs({ q(folder / "clip.mkv") },
                  { { "container", "mp4" }, { "videoCodec", "h264" }, { "audioCodec", "aac" } }),
        1);
    EXPECT_GE(changed.count(), 1);
    const QVariantMap job = jobAt(queue, 0);
    EXPECT_EQ(job.value(QStringLiteral("summary")).toString(), QStringLiteral("MP4 · h264 / aac"));
    EXPECT_EQ(job.value(QStringLiteral("name")).toString(), QStringLiteral("clip_converted.mp4"));
    EXPECT_EQ(job.value(QStringLiteral("state")).toString(), QStringLiteral("pending"));
    EXPECT_EQ(job.value(QStringLiteral("eta")).toDouble(), -1.0);
    EXPECT_EQ(job.value(QStringLiteral("passes")).toInt(), 1);
    EXPECT_EQ(queue.pending(), 1);
    EXPECT_EQ(queue.running(), 0);

    const QVariantMap settings = queue.jobSettings(job.value(QStringLiteral("id")).toInt());
    EXPECT_EQ(settings.value(QStringLiteral("input")).toString(), q(folder / "clip.mkv"));
    EXPECT_EQ(settings.value(QStringLiteral("container")).toString(), QStringLiteral("mp4"));
    EXPECT_TRUE(queue.jobSettings(999).isEmpty());
}

TEST_F(TranscodeQueueJobs, MovesCancelsRetriesAndClears)
{
    for (const char* name : { "a.mkv", "b.mkv", "c.mkv" })
        touch(folder / name);
    TranscodeQueue queue;
    ASSERT_EQ(queue.addJobs({ q(folder / "a.mkv"), q(folder / "b.mkv"), q(folder / "c.mkv") }, {}), 3);
    const QList<int> start = ids(queue);

    queue.move(start[2], -100);
    EXPECT_EQ(ids(queue), (QList<int> { start[2], start[0], start[1] }));
    // The last job moved further back: nothing changes, nothing is announced or saved.
    QFile::remove(queueFile());
    QSignalSpy changed(&queue, &TranscodeQueue::jobsChanged);
    queue.move(start[1], 1);
    queue.move(999, -1);
    EXPECT_EQ(changed.count(), 0);
    EXPECT_FALSE(QFile::exists(queueFile()));

    queue.cancel(start[0]);
    EXPECT_EQ(changed.count(), 1);
    queue.retry(start[1]); // pending: left alone
    EXPECT_EQ(changed.count(), 1);
    queue.cancel(start[1]);
    queue.retry(start[1]);
    EXPECT_EQ(queue.jobs().value(2).toMap().value(QStringLiteral("state")).toString(), QStringLiteral("pending"));
    EXPECT_EQ(queue.jobs().value(2).toMap().value(QStringLiteral("error")).toString(), QString());

    queue.clearFinished();
    EXPECT_EQ(ids(queue), (QList<int> { start[2], start[1] }));
    queue.remove(start[2]);
    EXPECT_EQ(ids(queue), (QList<int> { start[1] }));
    TranscodeQueue reloaded;
    EXPECT_EQ(ids(reloaded), (QList<int> { start[1] }));
}

TEST_F(TranscodeQueueJobs, OpensTheOutputFolder)
{
    touch(folder / "clip.mkv");
    const fs::path other = freshDir("out folder");
    OpenedUrls opened;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &opened, "open");
    TranscodeQueue queue;
    queue.addJobs({ q(folder / "clip.mkv") }, { { "destination", q(other / "sub") } });
    queue.openOutputFolder(ids(queue).value(0));
    queue.openOutputFolder(999);
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    ASSERT_EQ(opened.urls.size(), 1);
    EXPECT_EQ(opened.urls[0], QUrl::fromLocalFile(q(other / "sub")));
}

#include "TranscodeQueueTest.moc"
