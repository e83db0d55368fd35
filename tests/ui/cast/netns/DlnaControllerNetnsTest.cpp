// The DLNA controller against a real renderer: gmediarender in the peer's namespace (renderer-peer.sh) fetches
// the media from our media server in this one. Each case gets a fresh renderer (a renderer reused right after
// an item ended may ignore the next one). Run only through scripts/netns-run.sh (ctest: DlnaControllerNetns.*).
#include "tests/support/TestSupport.h"
#include "tests/ui/GTestQtPrinters.h"
#include "ui/cast/CastServer.h"
#include "ui/cast/DlnaController.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>

using kvr::ui::cast::CastController;
using kvr::ui::cast::CastDevice;
using kvr::ui::cast::CastServer;
using kvr::ui::cast::DlnaController;
using kvr::ui::cast::LoadRequest;

namespace {

constexpr int kWaitMs = 30000;

#define REQUIRE_NETNS()                                                                                                \
    if (kvr::test::netnsPeer().empty())                                                                                \
    GTEST_SKIP() << "runs only inside the network namespace harness (scripts/netns-run.sh)"

CastDevice renderer()
{
    const QString base = QStringLiteral("http://%1:49494").arg(QString::fromStdString(kvr::test::netnsPeer()));
    CastDevice d;
    d.id = "dlna:test";
    d.type = 2;
    d.name = "KvrTest";
    d.address = QHostAddress(QString::fromStdString(kvr::test::netnsPeer()));
    d.port = 49494;
    d.avTransportUrl = QUrl(base + "/upnp/control/rendertransport1");
    d.renderingControlUrl = QUrl(base + "/upnp/control/rendercontrol1");
    return d;
}

// Our media server for the renderer, a connected controller and spies on what they report.
struct Rig {
    CastServer server;
    DlnaController controller { renderer() };
    QSignalSpy served { &server, &CastServer::requestServed };
    QSignalSpy connected { &controller, &CastController::connected };
    QSignalSpy ended { &controller, &CastController::ended };
    QSignalSpy failed { &controller, &CastController::failed };
    QSignalSpy notice { &controller, &CastController::notice };

    bool start()
    {
        QString error;
        if (!server.start(QHostAddress(QString::fromStdString(kvr::test::netnsPeer())), &error)) {
            ADD_FAILURE() << error.toStdString();
            return false;
        }
        controller.connectDevice();
        return QTest::qWaitFor([&] { return !connected.isEmpty() || !failed.isEmpty(); }, kWaitMs)
            && connected.size() == 1;
    }
    LoadRequest publish(const std::string& fixture, const QString& mime, bool video)
    {
        LoadRequest r;
        EXPECT_TRUE(std::filesystem::exists(kvr::test::fixture(fixture))) << fixture;
        r.url = server.publishFile(QString::fromStdString(kvr::test::fixture(fixture).string()), mime);
        r.contentType = mime;
        r.title = QString::fromStdString(fixture);
        r.video = video;
        return r;
    }
    bool waitForState(int state)
    {
        return QTest::qWaitFor(
                   [&] { return controller.state() == state || controller.state() == CastController::Error; }, kWaitMs)
            && controller.state() == state;
    }
    bool rendererFetched() const
    {
        for (const QList<QVariant>& line : served)
            if (line.at(0).toString().startsWith("GET ") && !line.at(0).toString().contains(" -> 4"))
                return true;
        return false;
    }
    std::string failure() const
    {
        return failed.isEmpty() ? std::string() : failed.last().at(0).toString().toStdString();
    }
};

// The renderer's own answer to GetPositionInfo, asked directly: its transport state and RelTime in seconds
// (-1 when it did not answer).
struct RendererPosition {
    QString state;
    double seconds = -1;
};

QString soapValue(const QByteArray& body, const QString& name)
{
    const QRegularExpression element(QStringLiteral("<%1>([^<]*)</%1>").arg(name));
    return element.match(QString::fromUtf8(body)).captured(1);
}

QByteArray askRenderer(QNetworkAccessManager& network, const QString& action)
{
    const QString service = QStringLiteral("urn:schemas-upnp-org:service:AVTransport:1");
    QNetworkRequest request(renderer().avTransportUrl);
    request.setRawHeader("Content-Type", "text/xml; charset=\"utf-8\"");
    request.setRawHeader("SOAPAction", "\"" + (service + QLatin1Char('#') + action).toUtf8() + "\"");
    const QString envelope = QStringLiteral("<?xml version=\"1.0\"?><s:Envelope "
                                            "xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                                            "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
                                            "<u:%1 xmlns:u=\"%2\"><InstanceID>0</InstanceID></u:%1></s:Body>"
                                            "</s:Envelope>")
                                 .arg(action, service);
    QNetworkReply* reply = network.post(request, envelope.toUtf8());
    const bool finished = QTest::qWaitFor([&] { return reply->isFinished(); }, kWaitMs);
    const QByteArray body = finished ? reply->readAll() : QByteArray();
    reply->deleteLater();
    return body;
}

RendererPosition rendererPosition(QNetworkAccessManager& network)
{
    RendererPosition at;
    at.state = soapValue(askRenderer(network, QStringLiteral("GetTransportInfo")), "CurrentTransportState");
    const QString relTime = soapValue(askRenderer(network, QStringLiteral("GetPositionInfo")), "RelTime");
    if (!relTime.isEmpty())
        at.seconds = DlnaController::parseHms(relTime).value_or(-1.0);
    return at;
}

} // namespace

// A cast that starts in the middle of a 60 s clip: the renderer, which ignores a seek while it is still
// starting, is found playing near 30 s, well before it could have got there playing from the beginning.
TEST(DlnaControllerNetns, StartsAtTheStartPosition)
{
    REQUIRE_NETNS();
    Rig rig;
    ASSERT_TRUE(rig.start()) << rig.failure();
    LoadRequest r = rig.publish("sixty-seconds.mp4", "video/mp4", true);
    r.startSeconds = 30.0;
    r.durationSeconds = 60.0;
    rig.controller.load(r);
    ASSERT_TRUE(rig.waitForState(CastController::Playing)) << rig.failure();

    QNetworkAccessManager network;
    QElapsedTimer sincePlaying;
    RendererPosition at;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            at = rendererPosition(network);
            if (at.state == "PLAYING" && !sincePlaying.isValid())
                sincePlaying.start();
            return at.state == "PLAYING" && at.seconds >= 28.0;
        },
        kWaitMs))
        << "the renderer is at " << at.seconds << " s, " << at.state.toStdString();
    EXPECT_LE(at.seconds, 40.0);
    // Playing from 0:00 it would have needed 28 s to get there.
    EXPECT_LT(sincePlaying.elapsed(), 20000);
    std::printf("renderer at %.1f s, %lld ms after it first played\n", at.seconds, sincePlaying.elapsed());
    EXPECT_TRUE(rig.failed.isEmpty()) << rig.failure();
}

TEST(DlnaControllerNetns, PlaysAnMp3ToItsEnd)
{
    REQUIRE_NETNS();
    Rig rig;
    ASSERT_TRUE(rig.start()) << rig.failure();
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.controller.volume() == 1.0; }, kWaitMs));

    rig.controller.load(rig.publish("six-seconds.mp3", "audio/mpeg", false));
    EXPECT_EQ(rig.controller.state(), CastController::Loading);
    ASSERT_TRUE(rig.waitForState(CastController::Playing)) << rig.failure();
    EXPECT_TRUE(rig.rendererFetched());
    // The position advances from poll to poll.
    const double first = rig.controller.position();
    ASSERT_TRUE(QTest::qWaitFor([&] { return rig.controller.position() >= first + 1.0; }, kWaitMs))
        << "stuck at " << rig.controller.position();

    ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.ended.isEmpty(); }, kWaitMs)) << rig.failure();
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    EXPECT_FALSE(rig.controller.isPolling());

    // Pause while stopped is refused with a UPnP fault: a notice, nothing else.
    rig.controller.pause();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.notice.isEmpty(); }, kWaitMs));
    EXPECT_EQ(rig.notice.at(0).at(0).toString().toStdString(),
        "KvrTest refused Pause: UPnP error 501 Transition to PAUSE not allowed; allowed=PLAY [HTTP 500]");
    QTest::qWait(2000);
    EXPECT_EQ(rig.ended.size(), 1);
    EXPECT_EQ(rig.notice.size(), 1);
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    EXPECT_TRUE(rig.failed.isEmpty()) << rig.failure();
}

TEST(DlnaControllerNetns, SeeksStopsAndReportsARefusedPause)
{
    REQUIRE_NETNS();
    Rig rig;
    ASSERT_TRUE(rig.start()) << rig.failure();
    LoadRequest r = rig.publish("thirty-seconds.mp4", "video/mp4", true);
    rig.controller.load(r);
    ASSERT_TRUE(rig.waitForState(CastController::Playing)) << rig.failure();
    EXPECT_TRUE(rig.rendererFetched());

    // RelTime jumps to the target: far past what playing on would reach meanwhile.
    rig.controller.seek(20.0);
    QSignalSpy status(&rig.controller, &CastController::statusChanged);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return !status.isEmpty() && rig.controller.position() >= 20.0 && rig.controller.position() < 29.0; },
        kWaitMs))
        << "at " << rig.controller.position();

    rig.controller.stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.controller.isPolling(); }, kWaitMs));
    EXPECT_EQ(rig.controller.state(), CastController::Idle);
    EXPECT_DOUBLE_EQ(rig.controller.position(), 0.0);

    rig.controller.pause();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.notice.isEmpty(); }, kWaitMs));
    // After a stop the renderer names SEEK among the allowed transitions too.
    const QString refused = rig.notice.at(0).at(0).toString();
    EXPECT_TRUE(
        refused.startsWith("KvrTest refused Pause: UPnP error 501 Transition to PAUSE not allowed; allowed=PLAY"))
        << refused.toStdString();
    EXPECT_TRUE(refused.endsWith(" [HTTP 500]")) << refused.toStdString();
    QTest::qWait(1500);
    EXPECT_TRUE(rig.ended.isEmpty());
    EXPECT_TRUE(rig.failed.isEmpty()) << rig.failure();
}

TEST(DlnaControllerNetns, PlaysMpegTs)
{
    REQUIRE_NETNS();
    Rig rig;
    ASSERT_TRUE(rig.start()) << rig.failure();
    rig.controller.load(rig.publish("four-seconds.ts", "video/mp2t", true));
    ASSERT_TRUE(rig.waitForState(CastController::Playing)) << rig.failure();
    EXPECT_TRUE(rig.rendererFetched());
    ASSERT_TRUE(QTest::qWaitFor([&] { return !rig.ended.isEmpty(); }, kWaitMs)) << rig.failure();
    EXPECT_EQ(rig.ended.size(), 1);
}
