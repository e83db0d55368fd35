// Casting end to end to a real DLNA renderer: gmediarender in the peer's namespace (renderer-peer.sh) fetches
// from the session's media server in this one, while the real player bridge drives it. Each case gets a fresh
// renderer. Run only through scripts/netns-run.sh (ctest: CastSessionRemoteNetns.*).
#include "tests/support/TestSupport.h"
#include "tests/ui/bridge/BridgeTestPlayer.h"
#include "ui/cast/CastController.h"
#include "ui/cast/CastSession.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRegularExpression>
#include <QSettings>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>

using kvr::test::fixturePath;
using kvr::test::Player;
using kvr::ui::MediaSessionBridge;
using kvr::ui::cast::CastController;
using kvr::ui::cast::CastSession;
using State = MediaSessionBridge::State;

namespace {

constexpr int kWaitMs = 30000;

#define REQUIRE_NETNS()                                                                                                \
    if (kvr::test::netnsPeer().empty())                                                                                \
    GTEST_SKIP() << "runs only inside the network namespace harness (scripts/netns-run.sh)"

bool waitFor(const std::function<bool()>& condition, int ms = kWaitMs)
{
    return QTest::qWaitFor(condition, ms);
}

QString peer()
{
    return QString::fromStdString(kvr::test::netnsPeer());
}

// The renderer's transport state, asked over SOAP as any control point would.
QString transportState()
{
    QNetworkAccessManager network;
    QNetworkRequest request(QUrl(QStringLiteral("http://%1:49494/upnp/control/rendertransport1").arg(peer())));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "text/xml; charset=\"utf-8\"");
    request.setRawHeader("SOAPACTION", "\"urn:schemas-upnp-org:service:AVTransport:1#GetTransportInfo\"");
    const QByteArray body = "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\" "
                            "s:encodingStyle=\"http://schemas.xmlsoap.org/soap/encoding/\"><s:Body>"
                            "<u:GetTransportInfo xmlns:u=\"urn:schemas-upnp-org:service:AVTransport:1\">"
                            "<InstanceID>0</InstanceID></u:GetTransportInfo></s:Body></s:Envelope>";
    QNetworkReply* reply = network.post(request, body);
    waitFor([&] { return reply->isFinished(); }, 10000);
    const QString answer = QString::fromUtf8(reply->readAll());
    delete reply;
    const QRegularExpressionMatch m
        = QRegularExpression("<CurrentTransportState>([A-Z_]+)</CurrentTransportState>").match(answer);
    return m.hasMatch() ? m.captured(1) : answer;
}

// The player, a cast session and the renderer, found from its description as a manual receiver.
struct Rig {
    Player p;
    std::unique_ptr<CastSession> cast;
    QString id;

    Rig()
    {
        QSettings().remove("cast");
        QSettings().remove("resume");
        QSettings().setValue("cast/discoverOnStart", false);
        cast = std::make_unique<CastSession>(p.bridge.get());
        const QString uuid
            = QString::fromStdString(kvr::test::readFile(kvr::test::netnsDirectory() / "renderer-uuid")).trimmed();
        id = QStringLiteral("dlna:uuid:") + uuid;
    }

    bool start()
    {
        cast->addManual("dlna", QStringLiteral("http://%1:49494/description.xml").arg(peer()));
        if (!waitFor([&] { return cast->discovery().device(id) != nullptr; })) {
            ADD_FAILURE() << "the renderer was not found: " << cast->diagnostics().join('\n').toStdString();
            return false;
        }
        cast->start(id);
        return waitFor([&] { return p.bridge->casting() || !cast->active(); }) && p.bridge->casting();
    }
    // The diagnostics, each without its time stamp.
    QStringList lines() const
    {
        QStringList out;
        for (const QString& line : cast->diagnostics())
            out << line.mid(10);
        return out;
    }
    bool fetched(const QString& name) const
    {
        const QString line = QStringLiteral("http: GET %1 %2 -> 20").arg(name, peer());
        for (const QString& l : lines())
            if (l.startsWith(line))
                return true;
        return false;
    }
    std::string log() const { return cast->diagnostics().join('\n').toStdString(); }
    bool waitPlaying()
    {
        return waitFor([&] { return p.bridge->state() == State::Playing || !cast->active(); })
            && p.bridge->state() == State::Playing;
    }
};

} // namespace

// An MP3 that the player is playing goes to the renderer as it is and plays there; at its end the next entry
// of the playlist follows on the renderer.
TEST(CastSessionRemoteNetns, PlaysDirectlyAndGoesOnInThePlaylist)
{
    REQUIRE_NETNS();
    Rig rig;
    rig.p.bridge->setPlayPlaylist(true);
    rig.p.bridge->restorePlaylist({ fixturePath("six-seconds.mp3"), fixturePath("four-seconds.ts") }, -1);
    ASSERT_TRUE(rig.p.bridge->openEntry(0));
    ASSERT_TRUE(rig.p.waitFor(State::Playing));
    ASSERT_TRUE(rig.start()) << rig.log();

    ASSERT_TRUE(rig.waitPlaying()) << rig.log();
    EXPECT_EQ(rig.cast->mode(), "direct");
    EXPECT_EQ(rig.p.session.state(), kvr::engine::PlayerState::Idle);
    ASSERT_TRUE(waitFor([&] { return rig.fetched("media.mp3"); })) << rig.log();
    EXPECT_TRUE(rig.lines().filter("http: GET media.mp3 " + peer() + " -> 200").size() >= 1) << rig.log();
    const qint64 clock = rig.p.bridge->clockUs();
    EXPECT_TRUE(waitFor([&] { return rig.p.bridge->clockUs() >= clock + 1'000'000; }))
        << "stuck at " << rig.p.bridge->clockUs();

    ASSERT_TRUE(waitFor([&] { return rig.p.bridge->playlistIndex() == 1; })) << rig.log();
    EXPECT_TRUE(rig.lines().contains("Receiver finished the item"));
    ASSERT_TRUE(waitFor([&] { return rig.fetched("media.ts"); })) << rig.log();
    EXPECT_TRUE(rig.waitPlaying()) << rig.log();
    EXPECT_EQ(rig.cast->mode(), "direct");
}

// H.264 and AAC in Matroska: the renderer takes the codecs but not the container, so they are copied into
// MPEG-TS as they are converted.
TEST(CastSessionRemoteNetns, RemuxesMatroskaToMpegTs)
{
    REQUIRE_NETNS();
    Rig rig;
    ASSERT_TRUE(rig.start()) << rig.log();
    rig.p.bridge->restorePlaylist({ fixturePath("cast-h264-aac.mkv") }, -1);
    ASSERT_TRUE(rig.p.bridge->openEntry(0));
    EXPECT_EQ(rig.cast->mode(), "remux");
    EXPECT_TRUE(rig.lines().contains("cast-h264-aac.mkv: remux — h264 is repackaged without re-encoding")) << rig.log();
    ASSERT_TRUE(waitFor([&] { return rig.fetched("media.ts"); })) << rig.log();
    EXPECT_TRUE(rig.waitPlaying()) << rig.log();
}

// stop hands playback back at the renderer's position, and the renderer is stopped although its controller is
// already gone.
TEST(CastSessionRemoteNetns, StopResumesLocallyAndStopsTheRenderer)
{
    REQUIRE_NETNS();
    Rig rig;
    ASSERT_TRUE(rig.start()) << rig.log();
    rig.p.bridge->restorePlaylist({ fixturePath("thirty-seconds.mp4") }, -1);
    ASSERT_TRUE(rig.p.bridge->openEntry(0));
    ASSERT_TRUE(rig.waitPlaying()) << rig.log();
    ASSERT_TRUE(waitFor([&] { return rig.p.bridge->clockUs() >= 4'000'000; })) << rig.log();
    EXPECT_EQ(transportState(), "PLAYING");

    const qint64 remote = rig.cast->position();
    rig.cast->stop();
    EXPECT_FALSE(rig.p.bridge->casting());
    EXPECT_EQ(rig.cast->controller(), nullptr);
    ASSERT_TRUE(rig.p.waitFor(State::Playing));
    const qint64 local = rig.p.session.clockUs();
    EXPECT_NEAR(double(local), double(remote), 2'000'000.0);
    EXPECT_TRUE(waitFor([] { return transportState() == "STOPPED"; })) << transportState().toStdString();
}
