// The cast session's live conversion: the real Transcoder writing a growing file, the real media server
// streaming it, ffprobe and curl reading it, and an AirPlay test receiver waiting for the load.
#include "tests/support/TestSupport.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "tests/ui/cast/AirPlayReceiver.h"
#include "ui/cast/CastController.h"
#include "ui/cast/CastSession.h"
#include "tests/ui/cast/CastSessionTestSupport.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include <clocale>
#include <functional>
#include <memory>

#include <sys/stat.h>

using kvr::test::AirPlayReceiver;
using kvr::test::diagnosticTexts;
using kvr::test::fixturePath;
using kvr::ui::cast::CastController;
using kvr::ui::cast::CastSession;
using kvr::ui::cast::LoadRequest;
using Plan = CastSession::Plan;

namespace {

constexpr int kWaitMs = 60000;

bool waitFor(const std::function<bool()>& condition, int ms = kWaitMs)
{
    return QTest::qWaitFor(condition, ms);
}

// The diagnostics lines without their time stamps.
bool hasLine(const CastSession& cast, const QString& text)
{
    return diagnosticTexts(cast).contains(text);
}

Plan remuxToTs()
{
    Plan plan;
    plan.mode = 1;
    plan.container = "ts";
    plan.videoCodec = "copy";
    plan.audioCodec = "copy";
    plan.extension = "ts";
    plan.mimeType = "video/mp2t";
    return plan;
}

Plan transcodeToMp4()
{
    Plan plan;
    plan.mode = 2;
    plan.container = "mp4";
    plan.videoCodec = "h264";
    plan.audioCodec = "aac";
    plan.extension = "mp4";
    plan.mimeType = "video/mp4";
    return plan;
}

// Serves the fixture as name over HTTP with byte ranges, stalling at gateFraction of its length until the
// server's releaseGates; returns its address.
QString serveGated(kvr::test::LoopbackHttpServer& server, const char* fixture, const QString& name, double gateFraction)
{
    QFile file(fixturePath(fixture));
    const QByteArray body = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    server.serveGatedFile('/' + name.toUtf8(), body, qsizetype(double(body.size()) * gateFraction));
    return server.url('/' + name).toString();
}

// A session of its own, with a clean "cast" group.
std::unique_ptr<CastSession> newSession()
{
    QSettings().remove("cast");
    return std::make_unique<CastSession>(nullptr);
}

// An AirPlay test receiver, already added to the session; connect starts the cast.
struct Receiver {
    AirPlayReceiver airPlay;
    QString id;

    explicit Receiver(CastSession& cast)
    {
        const QString at = QStringLiteral("127.0.0.1:%1").arg(airPlay.port());
        id = "airplay:manual-" + at;
        cast.addManual("airplay", at);
        waitFor([&] { return cast.discovery().device(id) != nullptr; });
    }
    QString name() const { return QStringLiteral("AirPlay at 127.0.0.1"); }
};

bool connectTo(CastSession& cast, const Receiver& receiver)
{
    cast.start(receiver.id);
    return waitFor([&] { return cast.status() == "Connected"; });
}

LoadRequest requestFor(const QString& url)
{
    LoadRequest request;
    request.url = QUrl(url);
    request.contentType = "video/mp4";
    return request;
}

QString permissions(const QString& path)
{
    struct stat info { };
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return "missing";
    return QString::number(info.st_mode & 07777, 8);
}

// Runs a program on the test's event loop (the media server answers meanwhile) and gives its exit code.
struct Tool {
    QProcess process;
    void start(const QString& program, const QStringList& arguments)
    {
        process.setProcessChannelMode(QProcess::SeparateChannels);
        process.start(program, arguments);
    }
    bool done() const { return process.state() == QProcess::NotRunning; }
    bool waitDone()
    {
        return waitFor([&] { return done(); });
    }
};

} // namespace

// Both kinds of conversion are read over HTTP while they are still being written: ffprobe finds the streams
// before the end, and a download started before the end ends with exactly the final file. Under a German
// locale the size still has a decimal point.
TEST(CastSessionTranscode, TheServerStreamsTheConversionWhileItGrows)
{
    struct Case {
        const char* source;
        Plan plan;
        const char* videoCodec;
        const char* audioCodec;
        bool german;
    };
    const Case cases[] = {
        { "cast-h264-aac.mkv", remuxToTs(), "h264", "aac", true },
        { "clip.mp4", transcodeToMp4(), "h264", "aac", false },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.source);
        const QLocale locale;
        const std::string cLocale = std::setlocale(LC_ALL, nullptr);
        if (c.german) {
            QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
            std::setlocale(LC_ALL, "de_DE.UTF-8");
        }
        kvr::test::LoopbackHttpServer source;
        const QString sourceUrl = serveGated(source, c.source, c.source, 0.85);
        auto cast = newSession();
        ASSERT_TRUE(cast->server().start(QHostAddress::LocalHost));

        cast->startTranscode(sourceUrl, c.plan, 0);
        const auto file = cast->growingFile();
        ASSERT_TRUE(file);
        const QUrl url = cast->server().publishGrowingFile(file, c.plan.mimeType, c.plan.extension);
        // The codec threads the conversion starts inherit its name.
        EXPECT_GE(kvr::test::countThreadsNamed("kvr-cast"), 1);
        ASSERT_TRUE(waitFor([&] { return source.stalled() && file->writtenBytes() > 0; }));

        Tool probe;
        probe.start("ffprobe",
            { "-v", "error", "-rw_timeout", "30000000", "-analyzeduration", "1000000", "-show_entries",
                "stream=codec_type,codec_name", "-of", "csv=p=0", url.toString() });
        Tool download;
        const QString copy = QString::fromStdString((kvr::test::scratchDirectory() / "download.bin").string());
        download.start("curl", { "-s", "-S", "-o", copy, url.toString() });
        ASSERT_TRUE(probe.waitDone());
        EXPECT_EQ(probe.process.exitCode(), 0) << probe.process.readAllStandardError().toStdString();
        const QString streams = QString::fromUtf8(probe.process.readAllStandardOutput());
        EXPECT_TRUE(streams.contains(QStringLiteral("%1,video").arg(c.videoCodec))) << streams.toStdString();
        EXPECT_TRUE(streams.contains(QStringLiteral("%1,audio").arg(c.audioCodec))) << streams.toStdString();
        EXPECT_FALSE(file->isFinished()) << "the source still stalls";

        source.releaseGates();
        ASSERT_TRUE(waitFor([&] { return file->isFinished(); }));
        EXPECT_FALSE(file->hasFailed());
        ASSERT_TRUE(download.waitDone());
        EXPECT_EQ(download.process.exitCode(), 0) << download.process.readAllStandardError().toStdString();
        QFile final(file->path);
        ASSERT_TRUE(final.open(QIODevice::ReadOnly));
        const QByteArray written = final.readAll();
        EXPECT_EQ(qint64(written.size()), file->writtenBytes());
        QFile fetched(copy);
        ASSERT_TRUE(fetched.open(QIODevice::ReadOnly));
        EXPECT_TRUE(fetched.readAll() == written) << "the download is the final file";

        const QString ready
            = QStringLiteral("Stream ready (%1 MB)").arg(QString::number(double(written.size()) / 1048576.0, 'f', 1));
        EXPECT_TRUE(waitFor([&] { return hasLine(*cast, ready); })) << diagnosticTexts(*cast).join('\n').toStdString();
        EXPECT_TRUE(QRegularExpression(R"(^Stream ready \(\d+\.\d MB\)$)").match(ready).hasMatch());
        QLocale::setDefault(locale);
        std::setlocale(LC_ALL, cLocale.c_str());
    }
}

// The load waits for the receiver to be connected and for the stream to be ready, and no longer than the
// checks allow.
TEST(CastSessionTranscode, TheLoadWaitsForTheReceiverAndTheStream)
{
    {
        SCOPED_TRACE("a direct load waits only for the connection");
        auto cast = newSession();
        Receiver receiver(*cast);
        receiver.airPlay.set("/server-info", AirPlayReceiver::Override { 0, false, false, 1000 });
        cast->start(receiver.id);
        ASSERT_EQ(cast->controller()->state(), CastController::Connecting);
        const QString url = "http://127.0.0.1:9/direct.mp4";
        cast->loadWhenReady(0, cast->stageLoad(requestFor(url)));
        EXPECT_EQ(kvr::test::countThreadsNamed("kvr-cast"), 0);
        EXPECT_TRUE(cast->busy());
        ASSERT_TRUE(waitFor([&] { return receiver.airPlay.contentLocation == url.toUtf8(); }));
        const QStringList texts = diagnosticTexts(*cast);
        const qsizetype connected = texts.indexOf("Connected");
        const qsizetype loading = texts.indexOf("Loading " + url + " on the receiver");
        ASSERT_GE(connected, 0);
        EXPECT_GT(loading, connected);
        EXPECT_EQ(cast->status(), "Loading…");
    }
    {
        SCOPED_TRACE("a short conversion is handed over once it has finished");
        auto cast = newSession();
        Receiver receiver(*cast);
        ASSERT_TRUE(connectTo(*cast, receiver));
        cast->startTranscode(fixturePath("cast-h264-aac.mkv"), remuxToTs(), 0);
        const auto file = cast->growingFile();
        const QString url = "http://127.0.0.1:9/short.ts";
        cast->loadWhenReady(0, cast->stageLoad(requestFor(url)));
        const QString loading = "Loading " + url + " on the receiver";
        ASSERT_TRUE(waitFor([&] { return hasLine(*cast, loading); }));
        EXPECT_TRUE(file->isFinished());
        EXPECT_GT(file->writtenBytes(), 100 * 1024);
        EXPECT_LT(file->writtenBytes(), CastSession::kReadyBytes);
        EXPECT_TRUE(waitFor([&] { return receiver.airPlay.contentLocation == url.toUtf8(); }));
    }
    {
        SCOPED_TRACE("a receiver that never answers ends the cast");
        auto cast = newSession();
        cast->setTranscodeTimings(20, 5, 2000);
        Receiver receiver(*cast);
        receiver.airPlay.set("/server-info", AirPlayReceiver::Override { 0, true });
        cast->start(receiver.id);
        cast->loadWhenReady(0, cast->stageLoad(requestFor("http://127.0.0.1:9/never.mp4")));
        const QString message = receiver.name() + " did not respond";
        ASSERT_TRUE(waitFor([&] { return cast->lastError() == message; })) << cast->lastError().toStdString();
        EXPECT_EQ(cast->controller(), nullptr);
        EXPECT_TRUE(receiver.airPlay.contentLocation.isEmpty());
    }
    {
        SCOPED_TRACE("a stream folder that cannot be made ends the cast");
        const QByteArray tmp = qgetenv("TMPDIR");
        const QString blocker = QString::fromStdString((kvr::test::scratchDirectory() / "not-a-folder").string());
        QFile plain(blocker);
        ASSERT_TRUE(plain.open(QIODevice::WriteOnly));
        plain.close();
        qputenv("TMPDIR", QFile::encodeName(blocker + "/below"));
        auto cast = newSession();
        Receiver receiver(*cast);
        ASSERT_TRUE(connectTo(*cast, receiver));
        cast->startTranscode(fixturePath("clip.mp4"), transcodeToMp4(), 0);
        qputenv("TMPDIR", tmp);
        ASSERT_TRUE(cast->growingFile());
        EXPECT_TRUE(cast->growingFile()->hasFailed());
        EXPECT_EQ(kvr::test::countThreadsNamed("kvr-cast"), 0);
        EXPECT_TRUE(cast->cacheDir().isEmpty());
        cast->loadWhenReady(0, cast->stageLoad(requestFor("http://127.0.0.1:9/none.mp4")));
        EXPECT_EQ(cast->lastError(), "Converting the media for casting failed — see Cast diagnostics");
        EXPECT_EQ(cast->controller(), nullptr);
        EXPECT_TRUE(receiver.airPlay.contentLocation.isEmpty());
    }
}

// A new load stops the conversion of the one before: its thread is joined, its file goes two seconds later,
// and its readiness checks fall silent. Every conversion writes into the one private folder of the session,
// which goes with the session.
TEST(CastSessionTranscode, ANewLoadEndsTheConversionBeforeIt)
{
    kvr::test::LoopbackHttpServer source;
    const QString sourceUrl = serveGated(source, "cast-h264-aac.mkv", "first.mkv", 0.5);
    auto cast = newSession();
    Receiver receiver(*cast);
    ASSERT_TRUE(connectTo(*cast, receiver));

    cast->startTranscode(sourceUrl, remuxToTs(), 0);
    const auto first = cast->growingFile();
    const QString firstUrl = "http://127.0.0.1:9/first.ts";
    const int firstLoad = cast->stageLoad(requestFor(firstUrl));
    cast->loadWhenReady(0, firstLoad);
    ASSERT_TRUE(waitFor([&] { return source.stalled() && first->writtenBytes() > 0; }));
    EXPECT_FALSE(first->isFinished());
    EXPECT_LT(first->writtenBytes(), CastSession::kReadyBytes) << "still waiting for the stream";

    const QString folder = cast->cacheDir();
    EXPECT_TRUE(QRegularExpression("/kvr-cast-[0-9a-f]+$").match(folder).hasMatch()) << folder.toStdString();
    EXPECT_TRUE(folder.startsWith(QDir::tempPath() + '/'));
    EXPECT_EQ(permissions(folder), "700");
    EXPECT_EQ(permissions(first->path), "600");

    // The next load, as the load sequence makes it.
    const int secondLoad = cast->stageLoad(requestFor("http://127.0.0.1:9/second.ts"));
    cast->stopTranscode();
    EXPECT_EQ(kvr::test::countThreadsNamed("kvr-cast"), 0);
    EXPECT_TRUE(first->isFinished());
    EXPECT_FALSE(first->hasFailed()) << "a cancel is no failure";
    EXPECT_EQ(cast->growingFile(), nullptr);
    EXPECT_TRUE(QFileInfo::exists(first->path)) << "a receiver may still read it";
    cast->startTranscode(fixturePath("cast-h264-aac.mkv"), remuxToTs(), 0);
    const auto second = cast->growingFile();
    EXPECT_NE(second->path, first->path);
    EXPECT_EQ(QFileInfo(second->path).absolutePath(), folder);
    cast->loadWhenReady(0, secondLoad);

    const QString secondLine = "Loading http://127.0.0.1:9/second.ts on the receiver";
    ASSERT_TRUE(waitFor([&] { return hasLine(*cast, secondLine); }));
    ASSERT_TRUE(waitFor([&] { return hasLine(*cast, "Stream conversion stopped"); }));
    ASSERT_TRUE(waitFor([&] { return !QFileInfo::exists(first->path); }));
    EXPECT_TRUE(QFileInfo::exists(second->path));
    // The first load's checks kept running until now, and none of them loaded anything.
    EXPECT_FALSE(hasLine(*cast, "Loading " + firstUrl + " on the receiver"));
    EXPECT_EQ(receiver.airPlay.contentLocation, QByteArray("http://127.0.0.1:9/second.ts"));
    EXPECT_EQ(receiver.airPlay.requestsTo("/play").size(), 1);
    source.releaseGates();

    cast.reset();
    EXPECT_FALSE(QFileInfo::exists(folder)) << "the folder goes with the session";
}

// The cancel ends a conversion that waits for a source that never answers, long before the network
// time-out would.
TEST(CastSessionTranscode, StopReturnsWhileTheSourceStalls)
{
    kvr::test::LoopbackHttpServer stalled;
    stalled.hang("/stalled.mkv");
    auto cast = newSession();
    QElapsedTimer clock;
    clock.start();
    cast->startTranscode(stalled.url("/stalled.mkv").toString(), remuxToTs(), 0);
    ASSERT_TRUE(waitFor([&] { return !stalled.requests().isEmpty(); }));
    cast->stopTranscode();
    EXPECT_LT(clock.elapsed(), 10000) << "the cancel, not the network time-out, ended the read";
    EXPECT_EQ(kvr::test::countThreadsNamed("kvr-cast"), 0);
    EXPECT_TRUE(waitFor([&] { return hasLine(*cast, "Stream conversion stopped"); }))
        << diagnosticTexts(*cast).join('\n').toStdString();
}

// The receiver's position is the load's offset plus its own time: the conversion starts at 0 whatever clock the
// source ran on (this one's stands at 3601 s), from the start as from a later offset.
TEST(CastSessionTranscode, TheConversionStartsAtZeroWhateverTheSourcesClock)
{
    struct Case {
        qint64 offsetUs;
        double seconds;
    };
    for (const Case c : { Case { 0, 5.0 }, Case { 2'000'000, 3.0 } }) {
        SCOPED_TRACE(c.offsetUs);
        auto cast = newSession();
        Receiver receiver(*cast);
        ASSERT_TRUE(connectTo(*cast, receiver));
        cast->startTranscode(fixturePath("late.ts"), transcodeToMp4(), c.offsetUs);
        const auto file = cast->growingFile();
        ASSERT_TRUE(file);
        ASSERT_TRUE(waitFor([&] { return file->isFinished(); }));
        ASSERT_FALSE(file->hasFailed());
        Tool probe;
        probe.start("ffprobe",
            { "-v", "error", "-show_entries", "format=start_time,duration", "-of", "default=nw=1:nk=1",
                file->path });
        ASSERT_TRUE(probe.waitDone());
        const QStringList values
            = QString::fromUtf8(probe.process.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
        ASSERT_EQ(values.size(), 2) << values.join(' ').toStdString();
        EXPECT_NEAR(values[0].toDouble(), 0.0, 0.041);
        EXPECT_NEAR(values[1].toDouble(), c.seconds, 0.15);
    }
}
