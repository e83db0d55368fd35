#include "tests/ui/GTestQtPrinters.h"
#include "tests/ui/cast/SoapRenderer.h"
#include "ui/cast/DlnaController.h"

#include <QSignalSpy>
#include <QTest>
#include <QXmlStreamReader>

#include <gtest/gtest.h>

using kvr::test::SoapRenderer;
using kvr::ui::cast::CastController;
using kvr::ui::cast::CastDevice;
using kvr::ui::cast::DlnaController;
using kvr::ui::cast::LoadRequest;

namespace {

constexpr int kWaitMs = 20000;
constexpr int kPollMs = 50;

const QString kDidlOpen = "<DIDL-Lite xmlns=\"urn:schemas-upnp-org:metadata-1-0/DIDL-Lite/\" "
                          "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
                          "xmlns:upnp=\"urn:schemas-upnp-org:metadata-1-0/upnp/\">"
                          "<item id=\"1\" parentID=\"0\" restricted=\"1\">";
const QString kDirect = "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";

CastDevice rendererAt(const SoapRenderer& renderer, bool volumeControl = true)
{
    CastDevice d;
    d.id = "dlna:uuid:test";
    d.type = 2;
    d.name = "Den";
    d.address = QHostAddress(QHostAddress::LocalHost);
    d.port = renderer.port();
    d.avTransportUrl = renderer.url("/upnp/control/rendertransport1");
    if (volumeControl)
        d.renderingControlUrl = renderer.url("/upnp/control/rendercontrol1");
    return d;
}

LoadRequest audio(double durationSeconds = 60.0)
{
    LoadRequest r;
    r.url = QUrl("http://127.0.0.1:8080/media/1.mp3");
    r.contentType = "audio/mpeg";
    r.title = "Song";
    r.video = false;
    r.durationSeconds = durationSeconds;
    return r;
}

// A controller on a scripted renderer, polling fast, with a spy on every signal.
struct Rig {
    explicit Rig(bool volumeControl = true)
        : controller(rendererAt(renderer, volumeControl))
    {
        controller.setPollInterval(kPollMs);
    }

    SoapRenderer renderer;
    DlnaController controller;
    QSignalSpy connected { &controller, &CastController::connected };
    QSignalSpy ended { &controller, &CastController::ended };
    QSignalSpy failed { &controller, &CastController::failed };
    QSignalSpy notice { &controller, &CastController::notice };

    bool waitForState(int state)
    {
        return QTest::qWaitFor([&] { return controller.state() == state; }, kWaitMs);
    }
    bool waitForRequests(const QByteArray& action, int count)
    {
        return QTest::qWaitFor([&] { return renderer.requestsFor(action).size() >= count; }, kWaitMs);
    }
    // The text of an argument in the last request of an action.
    QString argument(const QByteArray& action, const QString& name)
    {
        const QList<SoapRenderer::Request> sent = renderer.requestsFor(action);
        if (sent.isEmpty())
            return {};
        QXmlStreamReader xml(sent.last().body);
        while (!xml.atEnd()) {
            if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == name)
                return xml.readElementText();
        }
        return {};
    }
    bool startPlaying(const LoadRequest& r = audio())
    {
        renderer.transportState = "PLAYING";
        renderer.relTime = "0:00:03";
        renderer.trackDuration = "0:01:00";
        controller.load(r);
        return waitForState(CastController::Playing);
    }
    // Polls already on their way are answered, then several intervals pass.
    void settle() { QTest::qWait(kPollMs * 8); }
};

} // namespace

TEST(DlnaController, SetAVTransportUriEnvelopeIsExactAndMetadataEscapedTwice)
{
    Rig rig;
    LoadRequest r;
    r.url = QUrl("http://10.0.0.1:8080/media/a%20b%C3%A9.mp3");
    r.contentType = "audio/mpeg";
    r.title = "A & B";
    r.artist = "Ann";
    r.video = false;
    r.durationSeconds = 5025.4;
    rig.controller.load(r);
    ASSERT_TRUE(rig.waitForRequests("SetAVTransportURI", 1));

    const QString uri = "http://10.0.0.1:8080/media/a%20b%C3%A9.mp3";
    const QString didl = kDidlOpen
        + "<dc:title>A &amp; B</dc:title><upnp:artist>Ann</upnp:artist>"
          "<upnp:class>object.item.audioItem.musicTrack</upnp:class>"
          "<res protocolInfo=\"http-get:*:audio/mpeg:"
        + kDirect + "\" duration=\"1:23:45.000\">" + uri + "</res></item></DIDL-Lite>";
    const QString envelope = "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
                             "<s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                             "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
                             "<u:SetAVTransportURI xmlns:u=\"urn:schemas-upnp-org:service:AVTransport:1\">"
                             "<InstanceID>0</InstanceID><CurrentURI>"
        + uri + "</CurrentURI><CurrentURIMetaData>" + didl.toHtmlEscaped()
        + "</CurrentURIMetaData></u:SetAVTransportURI></s:Body></s:Envelope>";
    const SoapRenderer::Request sent = rig.renderer.requestsFor("SetAVTransportURI").at(0);
    EXPECT_EQ(QString::fromUtf8(sent.body), envelope);
    EXPECT_TRUE(sent.body.contains("A &amp;amp; B"));
    EXPECT_EQ(sent.path, QByteArray("/upnp/control/rendertransport1"));
    EXPECT_EQ(sent.headers.value("content-type"), QByteArray("text/xml; charset=\"utf-8\""));
    EXPECT_EQ(sent.headers.value("soapaction"),
        QByteArray("\"urn:schemas-upnp-org:service:AVTransport:1#SetAVTransportURI\""));

    ASSERT_TRUE(rig.waitForRequests("Play", 1));
    rig.controller.pause();
    ASSERT_TRUE(rig.waitForRequests("Pause", 1));
    EXPECT_EQ(rig.renderer.requestsFor("Pause").at(0).headers.value("soapaction"),
        QByteArray("\"urn:schemas-upnp-org:service:AVTransport:1#Pause\""));
    EXPECT_EQ(rig.renderer.requestsFor("Play").at(0).body,
        QByteArray("<?xml version=\"1.0\" encoding=\"utf-8\"?><s:Envelope "
                   "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                   "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body><u:Play "
                   "xmlns:u=\"urn:schemas-upnp-org:service:AVTransport:1\"><InstanceID>0</InstanceID>"
                   "<Speed>1</Speed></u:Play></s:Body></s:Envelope>"));
}

TEST(DlnaController, HmsFormatsAndParses)
{
    const QList<QPair<double, QString>> formats = { { 0, "0:00:00" }, { 3725.9, "1:02:05" }, { 36000, "10:00:00" },
        { -5, "0:00:00" }, { std::nan(""), "0:00:00" }, { 59.999, "0:00:59" } };
    for (const auto& [seconds, text] : formats)
        EXPECT_EQ(DlnaController::formatHms(seconds), text) << seconds;
    const QList<QPair<QString, double>> parses = { { "1:02:03", 3723 }, { "0:00:07.250", 7.25 },
        { "0:01:02.500", 62.5 }, { "NOT_IMPLEMENTED", 0 }, { "12:34", 0 }, { "", 0 }, { "x:01:02", 62 } };
    for (const auto& [text, seconds] : parses)
        EXPECT_DOUBLE_EQ(DlnaController::parseHms(text).value_or(-1), seconds) << text.toStdString();
}

TEST(DlnaController, XmlEscapeDropsWhatXmlCannotHold)
{
    const QList<QPair<QString, QString>> cases = {
        { "a<b & \"c\" 'd'", "a&lt;b &amp; &quot;c&quot; 'd'" },
        { "&amp;", "&amp;amp;" },
        { QString("x") + QChar(0x01) + QChar(0x0B) + QChar(0x0C) + QChar(0x1F) + "y", "xy" },
        { QString("t\tn\nr\r"), QString("t\tn\nr\r") },
        { QString("a") + QChar(0xFFFE) + QChar(0xFFFF) + QChar(0xD800) + "b" + QChar(0xDC00), "ab" },
        { QString::fromUtf8("é \xF0\x9F\x8E\xB5"), QString::fromUtf8("é \xF0\x9F\x8E\xB5") },
    };
    for (const auto& [in, out] : cases)
        EXPECT_EQ(DlnaController::xmlEscape(in), out) << in.toStdString();
}

TEST(DlnaController, DidlItemClassArtistAndDuration)
{
    struct Case {
        bool video;
        QString artist;
        double duration;
        bool live;
        QString expected; // what follows the title
    };
    const QString url = "http://127.0.0.1:8080/media/1.mp3";
    const QString live = "DLNA.ORG_OP=00;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=01700000000000000000000000000000";
    const QList<Case> cases = {
        { false, "Ann & Co", 5025.4, false,
            "<upnp:artist>Ann &amp; Co</upnp:artist><upnp:class>object.item.audioItem.musicTrack</upnp:class>"
            "<res protocolInfo=\"http-get:*:audio/mpeg:"
                + kDirect + "\" duration=\"1:23:45.000\">" + url + "</res>" },
        { true, "", 0, false,
            "<upnp:class>object.item.videoItem</upnp:class><res protocolInfo=\"http-get:*:audio/mpeg:" + kDirect + "\">"
                + url + "</res>" },
        { true, "", -1, true,
            "<upnp:class>object.item.videoItem</upnp:class><res protocolInfo=\"http-get:*:audio/mpeg:" + live + "\">"
                + url + "</res>" },
    };
    for (const Case& c : cases) {
        LoadRequest r = audio(c.duration);
        r.video = c.video;
        r.artist = c.artist;
        r.liveConversion = c.live;
        EXPECT_EQ(DlnaController::didlMetadata(r),
            kDidlOpen + "<dc:title>Song</dc:title>" + c.expected + "</item></DIDL-Lite>");
    }
}

TEST(DlnaController, VolumeIsReadOnConnectAndSentAsWholePercent)
{
    Rig rig;
    rig.controller.connectDevice();
    EXPECT_EQ(rig.controller.state(), CastController::Connecting);
    ASSERT_TRUE(rig.connected.wait(kWaitMs) || rig.connected.size() == 1);
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.controller.volume() == 0.35; }, kWaitMs));

    const QList<std::tuple<double, QString, double>> levels
        = { { 0.555, "56", 0.555 }, { 1.7, "100", 1.0 }, { -0.2, "0", 0.0 }, { 0.125, "13", 0.125 } };
    int sent = 0;
    for (const auto& [level, desired, kept] : levels) {
        rig.controller.setVolume(level);
        EXPECT_DOUBLE_EQ(rig.controller.volume(), kept);
        ASSERT_TRUE(rig.waitForRequests("SetVolume", ++sent));
        EXPECT_EQ(rig.argument("SetVolume", "DesiredVolume"), desired) << level;
        EXPECT_EQ(rig.argument("SetVolume", "Channel"), "Master");
        EXPECT_EQ(rig.renderer.requestsFor("SetVolume").last().path, QByteArray("/upnp/control/rendercontrol1"));
    }

    Rig without(false);
    EXPECT_FALSE(without.controller.supportsVolume());
    without.controller.setVolume(0.3);
    ASSERT_EQ(without.notice.size(), 1);
    EXPECT_EQ(without.notice.at(0).at(0).toString(), "Den does not offer volume control");
    EXPECT_DOUBLE_EQ(without.controller.volume(), 1.0);
}

TEST(DlnaController, PlaysToTheEndAndTellsAUserStopFromTheEnd)
{
    Rig rig;
    // STOPPED before the item has started changes nothing.
    rig.renderer.transportState = "STOPPED";
    rig.controller.load(audio());
    EXPECT_EQ(rig.controller.state(), CastController::Loading);
    ASSERT_TRUE(rig.waitForRequests("GetPositionInfo", 3));
    EXPECT_EQ(rig.controller.state(), CastController::Loading);
    EXPECT_TRUE(rig.controller.isPolling());

    rig.renderer.transportState = "PLAYING";
    rig.renderer.relTime = "0:00:03";
    rig.renderer.trackDuration = "0:01:00";
    ASSERT_TRUE(rig.waitForState(CastController::Playing));
    EXPECT_DOUBLE_EQ(rig.controller.duration(), 60.0);
    EXPECT_GE(rig.controller.position(), 3.0);
    rig.renderer.trackDuration = "NOT_IMPLEMENTED";
    rig.renderer.transportState = "PAUSED_PLAYBACK";
    ASSERT_TRUE(rig.waitForState(CastController::Paused));
    EXPECT_DOUBLE_EQ(rig.controller.duration(), 60.0);
    rig.renderer.transportState = "STOPPED";
    ASSERT_TRUE(rig.ended.wait(kWaitMs) || rig.ended.size() == 1);
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    EXPECT_DOUBLE_EQ(rig.controller.position(), 3.0);
    EXPECT_FALSE(rig.controller.isPolling());
    rig.settle();
    EXPECT_EQ(rig.ended.size(), 1);

    ASSERT_TRUE(rig.startPlaying());
    rig.controller.stop();
    ASSERT_TRUE(rig.waitForRequests("Stop", 1));
    rig.renderer.transportState = "STOPPED";
    ASSERT_TRUE(rig.waitForState(CastController::Idle));
    EXPECT_DOUBLE_EQ(rig.controller.position(), 0.0);
    rig.settle();
    EXPECT_EQ(rig.ended.size(), 1);
    EXPECT_FALSE(rig.controller.isPolling());
    EXPECT_TRUE(rig.failed.isEmpty());
}

// The renderer passes through TRANSITIONING after Play and ignores a Seek meanwhile, as real ones do: the start
// position is sought once it reports PLAYING, sent once more when it did not take, and given up after the
// deadline. Only direct media past one second has a start to seek to.
TEST(DlnaController, StartPositionIsSoughtOnceTheRendererPlays)
{
    struct Case {
        const char* name;
        double start;
        bool live;
        int ignoredSeeks; // Seeks the renderer answers and does not carry out
        int transitionMs;
        int deadlineMs;
        int seeks; // sent, each to the start
        QByteArray rendererAt;
    };
    const Case cases[] = {
        { "past one second", 90.0, false, 0, 300, 10000, 1, "0:01:30" },
        { "first seek lost", 90.0, false, 1, 300, 10000, 2, "0:01:30" },
        { "both seeks lost", 90.0, false, 2, 300, 10000, 2, "0:00:00" },
        { "renderer slower than the deadline", 90.0, false, 0, 1500, 300, 0, "0:00:00" },
        { "one second", 1.0, false, 0, 300, 10000, 0, "0:00:00" },
        { "live conversion", 90.0, true, 0, 300, 10000, 0, "0:00:00" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.controller.setStartSeekDeadline(c.deadlineMs);
        rig.renderer.transportState = "STOPPED";
        rig.renderer.playTransitionMs = c.transitionMs;
        if (c.ignoredSeeks > 0)
            rig.renderer.set("Seek", { 0, true, SoapRenderer::response("Seek", {}), false, 0, c.ignoredSeeks });
        LoadRequest r = audio(600);
        r.startSeconds = c.start;
        r.liveConversion = c.live;
        rig.controller.load(r);
        EXPECT_DOUBLE_EQ(rig.controller.position(), c.live ? 0.0 : c.start);
        ASSERT_TRUE(rig.waitForState(CastController::Playing));
        if (c.seeks > 0) {
            ASSERT_TRUE(rig.waitForRequests("Seek", c.seeks));
        }
        rig.settle();
        rig.settle();
        const QList<SoapRenderer::Request> seeks = rig.renderer.requestsFor("Seek");
        EXPECT_EQ(seeks.size(), c.seeks);
        for (const SoapRenderer::Request& seek : seeks)
            EXPECT_TRUE(seek.body.contains("<Unit>REL_TIME</Unit><Target>0:01:30</Target>")) << seek.body.toStdString();
        EXPECT_EQ(rig.renderer.relTime, c.rendererAt);
        EXPECT_DOUBLE_EQ(
            rig.controller.position(), DlnaController::parseHms(QString::fromLatin1(c.rendererAt)).value_or(-1));
        EXPECT_EQ(rig.controller.state(), CastController::Playing);
    }
}

TEST(DlnaController, RefusedPauseIsANoticeOnly)
{
    Rig rig;
    ASSERT_TRUE(rig.startPlaying());
    rig.renderer.set("Pause", { 500, true, SoapRenderer::fault("701", "Transition not available") });
    rig.controller.pause();
    ASSERT_TRUE(rig.notice.wait(kWaitMs) || rig.notice.size() == 1);
    EXPECT_EQ(
        rig.notice.at(0).at(0).toString(), "Den refused Pause: UPnP error 701 Transition not available [HTTP 500]");
    rig.settle();
    EXPECT_EQ(rig.notice.size(), 1);
    EXPECT_EQ(rig.controller.state(), CastController::Playing);
    EXPECT_TRUE(rig.failed.isEmpty());
}

TEST(DlnaController, FifthFailedPollInARowFails)
{
    Rig rig;
    ASSERT_TRUE(rig.startPlaying());
    // Four refused polls, then answered ones again: a position request follows only an answered poll. Polls
    // overlap, so one answered before the refusals began may still send its position request; waiting for
    // the fifth poll first rules that out.
    const auto fourRefusedThenAnswered = [&rig] {
        const int polls = static_cast<int>(rig.renderer.requestsFor("GetTransportInfo").size());
        rig.renderer.set("GetTransportInfo", { 503, true, {}, false, 0, 4 });
        if (!rig.waitForRequests("GetTransportInfo", polls + 5))
            return false;
        return rig.waitForRequests(
            "GetPositionInfo", static_cast<int>(rig.renderer.requestsFor("GetPositionInfo").size()) + 1);
    };
    // Four failures and still playing; the success after them starts the count again.
    ASSERT_TRUE(fourRefusedThenAnswered());
    EXPECT_EQ(rig.controller.state(), CastController::Playing);
    EXPECT_TRUE(rig.failed.isEmpty());
    ASSERT_TRUE(fourRefusedThenAnswered());
    EXPECT_TRUE(rig.failed.isEmpty());
    rig.renderer.set("GetTransportInfo", { 503, true, {} });
    ASSERT_TRUE(rig.failed.wait(kWaitMs) || rig.failed.size() == 1);
    EXPECT_EQ(rig.controller.state(), CastController::Error);
    EXPECT_TRUE(rig.failed.at(0).at(0).toString().startsWith("Den did not answer GetTransportInfo ("));
    EXPECT_TRUE(rig.failed.at(0).at(0).toString().endsWith(") [HTTP 503]"));
    EXPECT_FALSE(rig.controller.isPolling());
    rig.settle();
    EXPECT_EQ(rig.failed.size(), 1);
    EXPECT_TRUE(rig.notice.isEmpty());
}

TEST(DlnaController, FailedFatalCallFailsAtOnce)
{
    struct Case {
        QByteArray action;
        SoapRenderer::Override how;
        QString message;
    };
    const QList<Case> cases = {
        { "SetAVTransportURI", { 500, true, SoapRenderer::fault("714", "Illegal MIME-type") },
            "Den refused SetAVTransportURI: UPnP error 714 Illegal MIME-type [HTTP 500]" },
        // A fault inside an ordinary 200 answer is a fault all the same.
        { "Play", { 200, true, SoapRenderer::fault("701", "No media") },
            "Den refused Play: UPnP error 701 No media [HTTP 200]" },
    };
    for (const Case& c : cases) {
        Rig rig;
        rig.renderer.set(c.action, c.how);
        rig.controller.load(audio());
        ASSERT_TRUE(rig.failed.wait(kWaitMs) || rig.failed.size() == 1);
        EXPECT_EQ(rig.failed.at(0).at(0).toString(), c.message);
        EXPECT_EQ(rig.controller.state(), CastController::Error);
        EXPECT_FALSE(rig.controller.isPolling());
    }

    Rig silent;
    silent.controller.setPollInterval(kPollMs);
    CastDevice nowhere = rendererAt(silent.renderer);
    nowhere.avTransportUrl = QUrl("http://127.0.0.1:1/upnp/control/rendertransport1");
    DlnaController refused(nowhere);
    QSignalSpy failed(&refused, &CastController::failed);
    refused.connectDevice();
    ASSERT_TRUE(failed.wait(kWaitMs) || failed.size() == 1);
    EXPECT_TRUE(failed.at(0).at(0).toString().startsWith("Den did not answer GetTransportInfo ("));
    EXPECT_FALSE(failed.at(0).at(0).toString().contains("[HTTP"));
    EXPECT_EQ(refused.state(), CastController::Error);
}

TEST(DlnaController, RepliesAreReadByTheirResponseElementOnly)
{
    Rig rig;
    // No response element at all: the handler still runs, with no values.
    rig.renderer.set("GetTransportInfo", { 200, true, "" });
    rig.renderer.set("GetVolume",
        { 200, true,
            SoapRenderer::response(
                "GetVolume", "<CurrentVolume>48</CurrentVolume><Extra><CurrentVolume>7</CurrentVolume></Extra>") });
    rig.controller.connectDevice();
    ASSERT_TRUE(rig.connected.wait(kWaitMs) || rig.connected.size() == 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.controller.volume() != 1.0; }, kWaitMs));
    EXPECT_DOUBLE_EQ(rig.controller.volume(), 0.48);

    // Nested markup inside an argument ends the reading: the state is not seen, so nothing changes.
    rig.renderer.clear("GetTransportInfo");
    rig.renderer.set("GetTransportInfo",
        { 200, true,
            SoapRenderer::response(
                "GetTransportInfo", "<CurrentTransportState><b>PLAYING</b></CurrentTransportState>") });
    rig.controller.load(audio());
    ASSERT_TRUE(rig.waitForRequests("GetPositionInfo", 3));
    EXPECT_EQ(rig.controller.state(), CastController::Loading);
    EXPECT_TRUE(rig.failed.isEmpty());
}

TEST(DlnaController, LatePlayingOfThePreviousItemIsNotTakenForTheNewOne)
{
    Rig rig;
    ASSERT_TRUE(rig.startPlaying());
    // The renderer's answers to polls now come late; one saying PLAYING is on its way when the next item loads.
    rig.renderer.set("GetTransportInfo", { 0, false, {}, false, 400 });
    const int polls = static_cast<int>(rig.renderer.requestsFor("GetTransportInfo").size());
    ASSERT_TRUE(rig.waitForRequests("GetTransportInfo", polls + 1));
    rig.renderer.transportState = "STOPPED";
    rig.controller.load(audio());
    rig.renderer.clear("GetTransportInfo");
    QTest::qWait(800);
    rig.settle();
    EXPECT_EQ(rig.controller.state(), CastController::Loading);
    EXPECT_TRUE(rig.ended.isEmpty());
    EXPECT_TRUE(rig.controller.isPolling());
}

TEST(DlnaController, ControlCharactersAndEncodedUrlsReachTheRenderer)
{
    Rig rig;
    LoadRequest r = audio();
    r.title = QString("Intro") + QChar(0x01) + " & more";
    r.url = QUrl("http://127.0.0.1:8080/media/my%20song%C3%A9.mp3");
    rig.controller.load(r);
    ASSERT_TRUE(rig.waitForRequests("Play", 1));
    EXPECT_TRUE(rig.failed.isEmpty());
    const QByteArray body = rig.renderer.requestsFor("SetAVTransportURI").at(0).body;
    QXmlStreamReader envelope(body);
    while (!envelope.atEnd())
        envelope.readNext();
    EXPECT_FALSE(envelope.hasError()) << envelope.errorString().toStdString();
    const QString didl = rig.argument("SetAVTransportURI", "CurrentURIMetaData");
    QXmlStreamReader metadata(didl);
    while (!metadata.atEnd())
        metadata.readNext();
    EXPECT_FALSE(metadata.hasError()) << metadata.errorString().toStdString();
    EXPECT_TRUE(didl.contains("<dc:title>Intro &amp; more</dc:title>")) << didl.toStdString();
    EXPECT_EQ(rig.argument("SetAVTransportURI", "CurrentURI"), "http://127.0.0.1:8080/media/my%20song%C3%A9.mp3");
    EXPECT_TRUE(didl.contains(">http://127.0.0.1:8080/media/my%20song%C3%A9.mp3</res>"));
}

TEST(DlnaController, DisconnectStopsTheRendererUnlessIdle)
{
    {
        Rig rig;
        rig.controller.connectDevice();
        ASSERT_TRUE(rig.connected.wait(kWaitMs) || rig.connected.size() == 1);
        rig.controller.disconnectDevice();
        EXPECT_EQ(rig.controller.state(), CastController::Idle);
        rig.settle();
        EXPECT_TRUE(rig.renderer.requestsFor("Stop").isEmpty());
    }
    {
        Rig rig;
        rig.renderer.set("SetAVTransportURI", { 0, false, {}, true });
        rig.controller.load(audio());
        ASSERT_TRUE(rig.waitForRequests("SetAVTransportURI", 1));
        EXPECT_EQ(rig.controller.state(), CastController::Loading);
        rig.controller.disconnectDevice();
        EXPECT_EQ(rig.controller.state(), CastController::Idle);
        ASSERT_TRUE(rig.waitForRequests("Stop", 1));
    }
    {
        Rig rig;
        ASSERT_TRUE(rig.startPlaying());
        rig.renderer.transportState = "PAUSED_PLAYBACK";
        ASSERT_TRUE(rig.waitForState(CastController::Paused));
        rig.controller.disconnectDevice();
        EXPECT_EQ(rig.controller.state(), CastController::Idle);
        EXPECT_FALSE(rig.controller.isPolling());
        ASSERT_TRUE(rig.waitForRequests("Stop", 1));
        rig.settle();
        EXPECT_EQ(rig.controller.state(), CastController::Idle);
    }
}
