// Cast plans against the three kinds of receiver, with generated media and real probes.
#include "tests/support/TestSupport.h"
#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "tests/ui/cast/AirPlayReceiver.h"
#include "tests/ui/cast/ChromecastReceiver.h"
#include "tests/ui/cast/SoapRenderer.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/cast/CastController.h"
#include "ui/cast/CastSession.h"
#include "tests/ui/cast/CastSessionTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QSettings>
#include <QSslSocket>
#include <QTcpServer>
#include <QThread>
#include <QTest>
#include <QUdpSocket>

#include <gtest/gtest.h>

#include <memory>

using kvr::test::AirPlayReceiver;
using kvr::test::ChromecastReceiver;
using kvr::test::closedPort;
using kvr::test::fixturePath;
using kvr::test::lastDiagnostic;
using kvr::test::SoapRenderer;
using kvr::ui::MediaSessionBridge;
using kvr::ui::cast::CastSession;
using Plan = CastSession::Plan;

namespace {

constexpr int kWaitMs = 20000;
enum Receiver { Cast = 0, AirPlay = 1, Dlna = 2 };

// One receiver of each kind on loopback, and a session that casts to whichever a case asks for.
struct Receivers {
    ChromecastReceiver chromecast { fixturePath("kvr-test-receiver.pem") };
    AirPlayReceiver airPlay;
    SoapRenderer renderer;
    kvr::test::LoopbackHttpServer descriptions;
    MediaSessionBridge bridge;
    std::unique_ptr<CastSession> cast;
    QString ids[3];

    Receivers()
    {
        descriptions.answer("/desc.xml", 200, kvr::test::loftDescription(renderer.url("/avt")));
        QSettings().remove("cast");
        cast = std::make_unique<CastSession>(&bridge);
        const QString castAt = QStringLiteral("127.0.0.1:%1").arg(chromecast.port());
        const QString airPlayAt = QStringLiteral("127.0.0.1:%1").arg(airPlay.port());
        ids[Cast] = "chromecast:manual-" + castAt;
        ids[AirPlay] = "airplay:manual-" + airPlayAt;
        ids[Dlna] = "dlna:uuid:loft";
        cast->addManual("chromecast", castAt);
        cast->addManual("airplay", airPlayAt);
        cast->addManual("dlna", descriptions.url("/desc.xml").toString());
    }

    // Casts to the receiver of that kind, once it is listed and has answered.
    bool use(Receiver kind)
    {
        if (!QTest::qWaitFor([&] { return cast->discovery().device(ids[kind]) != nullptr; }, kWaitMs))
            return false;
        cast->start(ids[kind]);
        return QTest::qWaitFor([&] { return cast->deviceId() == ids[kind] && cast->status() == "Connected"; }, kWaitMs);
    }
};

// The loopback HTTP server on a thread of its own, serving one file: a probe blocks the test's thread while it
// reads.
struct HttpFileOnItsOwnThread {
    QThread thread;
    QObject* context = new QObject;
    std::unique_ptr<kvr::test::LoopbackHttpServer> server;

    HttpFileOnItsOwnThread(const QByteArray& path, const QString& file)
    {
        QFile in(file);
        const QByteArray body = in.open(QIODevice::ReadOnly) ? in.readAll() : QByteArray();
        thread.start();
        context->moveToThread(&thread);
        QMetaObject::invokeMethod(
            context,
            [&] {
                server = std::make_unique<kvr::test::LoopbackHttpServer>();
                server->serveFile(path, body);
            },
            Qt::BlockingQueuedConnection);
    }
    ~HttpFileOnItsOwnThread()
    {
        QMetaObject::invokeMethod(
            context, [&] { server.reset(); }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
        delete context;
    }
    QString url(const QString& path) const { return server->url(path).toString(); }
};

const char* kindName(int kind)
{
    static const char* const names[] = { "cast", "airplay", "dlna" };
    return names[kind];
}

struct Expected {
    int mode;
    const char* container;
    const char* videoCodec;
    const char* audioCodec;
    const char* extension;
    const char* mimeType;
    int audioStream;
    QString reason;
};

void expectPlan(const Plan& plan, const Expected& e)
{
    EXPECT_EQ(plan.mode, e.mode);
    EXPECT_EQ(plan.container, e.container);
    EXPECT_EQ(plan.videoCodec, e.videoCodec);
    EXPECT_EQ(plan.audioCodec, e.audioCodec);
    EXPECT_EQ(plan.extension, e.extension);
    EXPECT_EQ(plan.mimeType, e.mimeType);
    EXPECT_EQ(plan.audioStream, e.audioStream);
    EXPECT_EQ(plan.reason, e.reason);
    EXPECT_FALSE(plan.burnSubtitles);
}

// A file whose path has "://" within its first ten characters, as "/media/a://b.mkv" has: a folder in /tmp
// named by a few random characters and a colon, made here (mkdir fails when the name is taken) and removed after.
struct ColonFolder {
    QString path;
    ColonFolder()
    {
        for (int attempt = 0; attempt < 50 && path.isEmpty(); ++attempt) {
            const QString candidate
                = QStringLiteral("/tmp/k%1:").arg(QRandomGenerator::global()->bounded(46656), 3, 36, QLatin1Char('0'));
            if (QDir().mkdir(candidate))
                path = candidate;
        }
    }
    ~ColonFolder()
    {
        if (!path.isEmpty())
            QDir(path).removeRecursively();
    }
};

} // namespace

TEST(CastSessionPlan, NetworkUrlsAreToldApartFromPaths)
{
    const std::pair<const char*, bool> cases[] = {
        { "http://example.org/a.mp4", true },
        { "RTSP://example.org/live", true },
        { "ab://x", true }, // "://" at index 2
        { "abcdefghi://x", true }, // at index 9
        { "a://x", false }, // at index 1
        { "abcdefghij://x", false }, // at index 10
        { "/media/a://b.mkv", false },
        { "/home/user/film.mkv", false },
        { "", false },
    };
    for (const auto& [text, network] : cases)
        EXPECT_EQ(CastSession::isNetworkUrl(QString::fromUtf8(text)), network) << text;
}

// Every source against every receiver it says something about: what is sent and why.
TEST(CastSessionPlan, ChoosesDirectRemuxOrTranscode)
{
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "no TLS backend for Qt";
    Receivers rig;
    ColonFolder colon;
    ASSERT_FALSE(colon.path.isEmpty());
    const QString colonFile = colon.path + "//b.mp4";
    ASSERT_TRUE(QFile::copy(fixturePath("clip.mp4"), colon.path + "/b.mp4"));
    const QString closed = QString::number(closedPort());
    const QString twoAudio = fixturePath("cast-two-audio.mp4");
    HttpFileOnItsOwnThread http("/clip.mp4", fixturePath("clip.mp4"));
    const QString served = http.url("/clip.mp4");

    struct Row {
        const char* name;
        Receiver receiver;
        QString source;
        Expected expected;
        bool force = false;
        int limitMbps = 0;
        // The audio track chosen in the player for source (-1: none); with otherSource, chosen for another file.
        int audioTrack = -1;
        bool otherSource = false;
    };
    const QString m3u8 = "https://127.0.0.1:" + closed + "/live/index.m3u8";
    const QString repackaged = QStringLiteral("h264 is repackaged without re-encoding");
    const Row rows[] = {
        // Streams over http(s) go as they are unless forced; anything else is probed and served from here.
        { "https m3u8", Cast, m3u8,
            { 0, "", "", "", "", "application/x-mpegURL", -1, "network stream sent to the receiver as is" } },
        { "https m3u8 to dlna", Dlna, m3u8,
            { 0, "", "", "", "", "application/x-mpegURL", -1, "network stream sent to the receiver as is" } },
        { "http mkv", AirPlay, "http://127.0.0.1:" + closed + "/films/a.mkv",
            { 0, "", "", "", "", "video/x-matroska", -1, "network stream sent to the receiver as is" } },
        { "http without suffix", Cast, "http://127.0.0.1:" + closed + "/live",
            { 0, "", "", "", "", "video/mp4", -1, "network stream sent to the receiver as is" } },
        { "https m3u8 forced", Cast, m3u8, { 2, "mp4", "none", "aac", "m4a", "audio/mp4", -1, "transcoding requested" },
            true },
        { "http forced", AirPlay, served, { 2, "mp4", "h264", "aac", "mp4", "video/mp4", -1, "transcoding requested" },
            true },
        { "http forced to dlna", Dlna, served,
            { 2, "ts", "h264", "aac", "ts", "video/mp2t", -1, "transcoding requested" }, true },
        { "rtsp", Cast, "rtsp://127.0.0.1:" + closed + "/live",
            { 2, "mp4", "none", "aac", "m4a", "audio/mp4", -1, " audio is converted for this receiver" } },
        // H.264 with AAC in MP4.
        { "mp4 to cast", Cast, fixturePath("clip.mp4"),
            { 0, "mp4", "", "", "mp4", "video/mp4", -1, "h264/aac in mp4 plays on the receiver as is" } },
        { "mp4 to dlna", Dlna, fixturePath("clip.mp4"),
            { 0, "ts", "", "", "ts", "video/mp4", -1, "h264/aac in mp4 plays on the receiver as is" } },
        { "non-default audio", Cast, twoAudio, { 1, "mp4", "copy", "copy", "mp4", "video/mp4", 2, repackaged }, false,
            0, 2 },
        { "default audio chosen", Cast, twoAudio,
            { 0, "mp4", "", "", "mp4", "video/mp4", -1, "h264/aac in mp4 plays on the receiver as is" }, false, 0, 1 },
        { "audio chosen for another file", Cast, twoAudio,
            { 0, "mp4", "", "", "mp4", "video/mp4", -1, "h264/aac in mp4 plays on the receiver as is" }, false, 0, 2,
            true },
        { "forced", Dlna, fixturePath("clip.mp4"),
            { 2, "ts", "h264", "aac", "ts", "video/mp2t", -1, "transcoding requested" }, true },
        { "forced keeps the chosen audio", AirPlay, twoAudio,
            { 2, "mp4", "h264", "aac", "mp4", "video/mp4", 2, "transcoding requested" }, true, 0, 2 },
        // H.264 with AC-3 in MP4.
        { "ac3 to airplay", AirPlay, fixturePath("cast-h264-ac3.mp4"),
            { 0, "mp4", "", "", "mp4", "video/mp4", -1, "h264/ac3 in mp4 plays on the receiver as is" } },
        { "ac3 to dlna", Dlna, fixturePath("cast-h264-ac3.mp4"),
            { 0, "ts", "", "", "ts", "video/mp4", -1, "h264/ac3 in mp4 plays on the receiver as is" } },
        { "ac3 to cast", Cast, fixturePath("cast-h264-ac3.mp4"),
            { 1, "mp4", "copy", "aac", "mp4", "video/mp4", -1, "video is copied, ac3 audio converted to AAC" } },
        // VP9: only Cast v2 takes it, and only from a .webm file.
        { "vp9 webm to cast", Cast, fixturePath("cast-vp9-opus.webm"),
            { 0, "mp4", "", "", "mp4", "video/webm", -1, "vp9/opus in webm plays on the receiver as is" } },
        { "vp9 webm to airplay", AirPlay, fixturePath("cast-vp9-opus.webm"),
            { 2, "mp4", "h264", "aac", "mp4", "video/mp4", -1, "vp9 video is not supported by this receiver" } },
        { "vp9 mkv to cast", Cast, fixturePath("cast-vp9.mkv"),
            { 2, "mp4", "h264", "none", "mp4", "video/mp4", -1, "vp9 video is not supported by this receiver" } },
        // H.264 in Matroska and MPEG-TS.
        { "mkv to dlna", Dlna, fixturePath("cast-h264-aac.mkv"),
            { 1, "ts", "copy", "copy", "ts", "video/mp2t", -1, repackaged } },
        { "mkv to cast", Cast, fixturePath("cast-h264-aac.mkv"),
            { 1, "mp4", "copy", "copy", "mp4", "video/mp4", -1, repackaged } },
        { "ts to dlna", Dlna, fixturePath("four-seconds.ts"),
            { 0, "ts", "", "", "ts", "video/mp2t", -1, "h264/aac in ts plays on the receiver as is" } },
        { "ts to airplay", AirPlay, fixturePath("four-seconds.ts"),
            { 1, "mp4", "copy", "copy", "mp4", "video/mp4", -1, repackaged } },
        // HEVC.
        { "hevc to airplay", AirPlay, fixturePath("cast-hevc.mkv"),
            { 2, "mp4", "h264", "none", "mp4", "video/mp4", -1, "hevc video is not supported by this receiver" } },
        { "hevc to dlna", Dlna, fixturePath("cast-hevc.mkv"),
            { 2, "ts", "h264", "none", "ts", "video/mp2t", -1, "hevc video is not supported by this receiver" } },
        // The bit-rate limit (the file holds about 9.9 Mbit/s).
        { "over the limit", Cast, fixturePath("cast-10mbit.mp4"),
            { 2, "mp4", "h264", "none", "mp4", "video/mp4", -1, "bitrate above the 8 Mbps cast limit" }, false, 8 },
        { "under the limit", Cast, fixturePath("cast-10mbit.mp4"),
            { 0, "mp4", "", "", "mp4", "video/mp4", -1, "h264/no audio in mp4 plays on the receiver as is" }, false,
            10 },
        { "no limit", Cast, fixturePath("cast-10mbit.mp4"),
            { 0, "mp4", "", "", "mp4", "video/mp4", -1, "h264/no audio in mp4 plays on the receiver as is" } },
        // Sound alone.
        { "flac to cast", Cast, fixturePath("tone44k.flac"),
            { 0, "", "", "", "", "audio/flac", -1, "flac audio plays on the receiver as is" } },
        { "flac to dlna", Dlna, fixturePath("tone44k.flac"),
            { 0, "", "", "", "", "audio/flac", -1, "flac audio plays on the receiver as is" } },
        { "flac to airplay", AirPlay, fixturePath("tone44k.flac"),
            { 2, "mp3", "none", "mp3", "mp3", "audio/mpeg", -1, "flac audio is converted for this receiver" } },
        { "flac forced", Cast, fixturePath("tone44k.flac"),
            { 2, "mp4", "none", "aac", "m4a", "audio/mp4", -1, "transcoding requested" }, true },
        { "mp3 with a cover to airplay", AirPlay, fixturePath("cover.mp3"),
            { 0, "", "", "", "", "audio/mpeg", -1, "mp3 audio plays on the receiver as is" } },
        { "raw aac to cast", Cast, fixturePath("tagged.aac"),
            { 0, "", "", "", "", "audio/aac", -1, "aac audio plays on the receiver as is" } },
        { "raw aac to airplay", AirPlay, fixturePath("tagged.aac"),
            { 2, "mp3", "none", "mp3", "mp3", "audio/mpeg", -1, "aac audio is converted for this receiver" } },
        { "raw aac to dlna", Dlna, fixturePath("tagged.aac"),
            { 2, "mp3", "none", "mp3", "mp3", "audio/mpeg", -1, "aac audio is converted for this receiver" } },
        // A path is a file even with "://" in it.
        { "path with ://", Cast, colonFile,
            { 0, "mp4", "", "", "mp4", "video/mp4", -1, "h264/aac in mp4 plays on the receiver as is" } },
    };
    for (Receiver kind : { Cast, AirPlay, Dlna }) {
        ASSERT_TRUE(rig.use(kind)) << kindName(kind);
        for (const Row& row : rows) {
            if (row.receiver != kind)
                continue;
            SCOPED_TRACE(row.name);
            rig.cast->setMaxBitrateMbps(row.limitMbps);
            rig.cast->setTrackChoice(row.otherSource ? fixturePath("clip.mp4") : row.source, row.audioTrack, -2);
            expectPlan(rig.cast->choosePlan(row.source, row.force), row.expected);
        }
    }
}

// A stream that is not http(s) never reaches the receiver as an address: MPEG-TS over UDP that a DLNA renderer
// would take as it is gets served, repackaged, from here.
TEST(CastSessionPlan, UdpStreamIsRepackagedNeverSentAsItIs)
{
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "no TLS backend for Qt";
    Receivers rig;
    ASSERT_TRUE(rig.use(Dlna));
    quint16 port = 0;
    {
        QUdpSocket probe;
        ASSERT_TRUE(probe.bind(QHostAddress::LocalHost, 0));
        port = probe.localPort();
    }
    QProcess feed;
    feed.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    feed.start("ffmpeg",
        { "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-stream_loop", "-1", "-i",
            fixturePath("four-seconds.ts"), "-c", "copy", "-f", "mpegts",
            QStringLiteral("udp://127.0.0.1:%1?pkt_size=1316").arg(port) });
    ASSERT_TRUE(feed.waitForStarted());

    const QString source = QStringLiteral("udp://127.0.0.1:%1").arg(port);
    expectPlan(rig.cast->choosePlan(source, false),
        { 1, "ts", "copy", "copy", "ts", "video/mp2t", -1, "h264 is repackaged without re-encoding" });
    Plan plan = rig.cast->choosePlan(source, false);
    EXPECT_TRUE(rig.cast->hasPicture(plan));

    feed.kill();
    feed.waitForFinished();
}

// Where subtitles come from and whether they travel as a WebVTT sidecar or burned into the picture.
TEST(CastSessionPlan, SubtitlesTravelAsSidecarOrBurnedIn)
{
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "no TLS backend for Qt";
    Receivers rig;
    const QString sidecar = fixturePath("cast-sidecar.srt");
    const QString multi = fixturePath("multi.mkv");
    const QString languages = fixturePath("cast-subtitle-languages.mkv");
    const QString stream = "http://127.0.0.1:" + QString::number(closedPort()) + "/films/a.mkv";

    struct Choice {
        bool known = false;
        int track = -2;
        QString file;
        bool bitmap = false;
        QString language;
    };
    struct Row {
        const char* name;
        Receiver receiver;
        const char* mode;
        QString source;
        Choice choice;
        // The player's preferences, for a source without a known choice.
        bool autoLoad;
        const char* preferredLanguage;
        // Expected: a sidecar published, or what is to be burned, and the language.
        bool sidecar;
        int stream;
        QString file;
        const char* language;
        // The diagnostics line written, or "" for none.
        QString line;
    };
    const QString webvttLine = "Subtitles sent as WebVTT (%1 cues bytes)";
    const Row rows[] = {
        { "mode off", Cast, "off", multi, { true, 3, {}, false, "eng" }, true, "", false, -1, {}, "", "" },
        { "subtitles chosen off", AirPlay, "burn", multi, { true, -1, {}, false, "" }, true, "", false, -1, {}, "",
            "" },
        { "chosen stream burned", AirPlay, "auto", multi, { true, 3, {}, false, "eng" }, true, "", false, 3, {}, "eng",
            "" },
        { "chosen file burned by its path", AirPlay, "auto", multi, { true, 100000, sidecar, false, "" }, true, "",
            false, -1, sidecar, "", "" },
        { "chosen file as a sidecar", Cast, "auto", multi, { true, 100000, sidecar, false, "" }, true, "", true, -1, {},
            "", webvttLine },
        { "chosen stream as a sidecar", Cast, "auto", multi, { true, 3, {}, false, "eng" }, true, "", true, -1, {},
            "eng", webvttLine },
        { "burn on cast", Cast, "burn", multi, { true, 3, {}, false, "eng" }, true, "", false, 3, {}, "eng", "" },
        { "bitmap on cast", Cast, "auto", fixturePath("dvb-subs.mkv"), { true, 2, {}, true, "" }, true, "", false, 2,
            {}, "", "" },
        { "failed conversion", Cast, "auto", fixturePath("subs-no-packets.mkv"), { true, 1, {}, false, "" }, true, "",
            false, 1, {}, "", "Subtitles: The subtitle track has no text cues — burning them in instead" },
        { "file beside the source", AirPlay, "auto", fixturePath("cast-sidecar.mp4"), {}, true, "", false, -1, sidecar,
            "", "" },
        { "file beside, not loaded", AirPlay, "auto", fixturePath("cast-sidecar.mp4"), {}, false, "", false, -1, {}, "",
            "" },
        { "default track", AirPlay, "auto", languages, {}, true, "", false, 1, {}, "eng", "" },
        { "language prefix", AirPlay, "auto", languages, {}, true, "de", false, 2, {}, "deu", "" },
        { "no language matches", AirPlay, "auto", languages, {}, true, "fr", false, -1, {}, "", "" },
        { "forced before the language", AirPlay, "auto", fixturePath("tracks.mkv"), {}, true, "ger", false, 4, {},
            "fre", "" },
        { "no default track", AirPlay, "auto", multi, {}, true, "", false, -1, {}, "", "" },
        { "stream unknown", Cast, "auto", stream, {}, true, "", false, -1, {}, "", "" },
        // A stream's own track is never read through here: it has no end to read to.
        { "stream's track burned", Cast, "auto", stream, { true, 2, {}, false, "eng" }, true, "", false, 2, {}, "eng",
            "" },
    };
    for (Receiver kind : { Cast, AirPlay, Dlna }) {
        bool connected = false;
        for (const Row& row : rows) {
            if (row.receiver != kind)
                continue;
            if (!connected) {
                ASSERT_TRUE(rig.use(kind)) << kindName(kind);
                connected = true;
            }
            SCOPED_TRACE(row.name);
            rig.cast->setSubtitleMode(row.mode);
            rig.bridge.setAutoLoadSubtitles(row.autoLoad);
            rig.bridge.setSubtitleLanguage(row.preferredLanguage);
            if (row.choice.known)
                rig.cast->setTrackChoice(
                    row.source, -1, row.choice.track, row.choice.file, row.choice.bitmap, row.choice.language);
            else
                rig.cast->setTrackChoice(fixturePath("clip.mp4"), -1, 3);
            rig.cast->clearDiagnostics();
            rig.cast->server().clear();

            int subtitleStream = 99;
            QString subtitleFile = "stale";
            QString language = "stale";
            const QUrl url = rig.cast->planSubtitles(row.source, subtitleStream, subtitleFile, language);
            EXPECT_EQ(subtitleStream, row.stream);
            EXPECT_EQ(subtitleFile, row.file);
            EXPECT_EQ(language, row.language);
            EXPECT_EQ(!url.isEmpty(), row.sidecar);
            if (row.sidecar) {
                ASSERT_EQ(rig.cast->server().entryCount(), 1);
                const QString token = url.path().section('/', 1, 1);
                const auto entry = rig.cast->server().entry(token);
                EXPECT_TRUE(url.path().endsWith(".vtt")) << url.toString().toStdString();
                EXPECT_EQ(entry.mimeType, "text/vtt");
                EXPECT_TRUE(entry.body.startsWith("WEBVTT")) << entry.body.left(40).toStdString();
                EXPECT_TRUE(entry.body.contains("First cue"));
                EXPECT_EQ(lastDiagnostic(*rig.cast), webvttLine.arg(entry.body.size()));
            } else {
                EXPECT_EQ(rig.cast->server().entryCount(), 0);
                EXPECT_EQ(lastDiagnostic(*rig.cast), row.line);
            }
        }
    }
}

// A subtitle to be burned turns the plan into an H.264 transcode, as long as there is a picture to draw it on.
TEST(CastSessionPlan, BurningSubtitlesTranscodesThePicture)
{
    ASSERT_TRUE(QSslSocket::supportsSsl()) << "no TLS backend for Qt";
    Receivers rig;
    const QString sidecar = fixturePath("cast-sidecar.srt");
    const QString stream = "http://127.0.0.1:" + QString::number(closedPort()) + "/films/a.mp4";
    const QString burned = QStringLiteral("subtitles are burned into the picture");

    struct Row {
        const char* name;
        Receiver receiver;
        QString source;
        int subtitleStream;
        QString subtitleFile;
        Expected expected;
        bool burn;
    };
    const Row rows[] = {
        { "http stream", AirPlay, stream, -1, sidecar, { 2, "mp4", "h264", "aac", "mp4", "video/mp4", -1, burned },
            true },
        { "direct to dlna", Dlna, fixturePath("clip.mp4"), -1, sidecar,
            { 2, "ts", "h264", "aac", "ts", "video/mp2t", -1, burned }, true },
        { "remux", Dlna, fixturePath("multi.mkv"), 3, {}, { 2, "ts", "h264", "aac", "ts", "video/mp2t", -1, burned },
            true },
        { "transcode without audio", AirPlay, fixturePath("cast-hevc.mkv"), -1, sidecar,
            { 2, "mp4", "h264", "none", "mp4", "video/mp4", -1, burned }, true },
        { "sound alone", AirPlay, fixturePath("tone44k.flac"), -1, sidecar,
            { 2, "mp3", "none", "mp3", "mp3", "audio/mpeg", -1, "flac audio is converted for this receiver" }, false },
        { "nothing to burn", AirPlay, stream, -1, {},
            { 0, "", "", "", "", "video/mp4", -1, "network stream sent to the receiver as is" }, false },
    };
    for (Receiver kind : { AirPlay, Dlna }) {
        ASSERT_TRUE(rig.use(kind)) << kindName(kind);
        for (const Row& row : rows) {
            if (row.receiver != kind)
                continue;
            SCOPED_TRACE(row.name);
            Plan plan = rig.cast->choosePlan(row.source, false);
            rig.cast->applyBurnIn(plan, row.source, row.subtitleStream, row.subtitleFile);
            EXPECT_EQ(plan.mode, row.expected.mode);
            EXPECT_EQ(plan.container, row.expected.container);
            EXPECT_EQ(plan.videoCodec, row.expected.videoCodec);
            EXPECT_EQ(plan.audioCodec, row.expected.audioCodec);
            EXPECT_EQ(plan.extension, row.expected.extension);
            EXPECT_EQ(plan.mimeType, row.expected.mimeType);
            EXPECT_EQ(plan.reason, row.expected.reason);
            EXPECT_EQ(plan.burnSubtitles, row.burn);
            EXPECT_EQ(plan.subtitleStream, row.burn ? row.subtitleStream : -1);
            EXPECT_EQ(plan.subtitleFile, row.burn ? row.subtitleFile : QString());
        }
    }
}

// The choices made in the player before casting shape the plan: its audio track is kept, its subtitle file is
// used by its path.
TEST(CastSessionPlan, FollowsTheTracksChosenInThePlayer)
{
    kvr::test::Player p;
    QSettings().remove("resume");
    p.bridge->setPlayPlaylist(false);
    const QString source = fixturePath("two-tones-20s.mkv");
    const QString subtitles = fixturePath("cast-sidecar.srt");
    p.bridge->restorePlaylist({ source }, -1);
    ASSERT_TRUE(p.bridge->openEntry(0) && p.waitFor(MediaSessionBridge::State::Playing));
    ASSERT_TRUE(p.pauseNow());
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            // Asked again only when dropped (the open thread held the engine), not while it is on its way.
            if (!p.bridge->reopening() && p.bridge->currentAudioTrack() != 2)
                p.bridge->selectAudioTrack(2);
            return !p.bridge->reopening() && p.bridge->currentAudioTrack() == 2 && p.bridge->hasMedia();
        },
        kWaitMs));
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            if (p.bridge->currentSubtitleTrack() < 100000)
                p.bridge->loadSubtitleFile(subtitles);
            return p.bridge->currentSubtitleTrack() >= 100000 && p.bridge->hasMedia();
        },
        kWaitMs));

    AirPlayReceiver receiver;
    QSettings().remove("cast");
    CastSession cast(p.bridge.get());
    const QString at = QStringLiteral("127.0.0.1:%1").arg(receiver.port());
    cast.addManual("airplay", at);
    ASSERT_TRUE(QTest::qWaitFor([&] { return cast.discovery().device("airplay:manual-" + at) != nullptr; }, kWaitMs));
    cast.start("airplay:manual-" + at);
    // Handed over, the player's entry goes on to the receiver at once.
    ASSERT_TRUE(QTest::qWaitFor([&] { return p.bridge->casting(); }, kWaitMs));

    expectPlan(cast.choosePlan(source, false),
        { 1, "mp4", "copy", "copy", "mp4", "video/mp4", 2, "h264 is repackaged without re-encoding" });
    int subtitleStream = 99;
    QString subtitleFile;
    QString language;
    EXPECT_TRUE(cast.planSubtitles(source, subtitleStream, subtitleFile, language).isEmpty());
    EXPECT_EQ(subtitleStream, -1);
    EXPECT_EQ(subtitleFile, subtitles);
}
