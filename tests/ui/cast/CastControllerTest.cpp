#include "tests/ui/GTestQtPrinters.h"
#include "ui/cast/AirPlayController.h"
#include "ui/cast/CastController.h"
#include "ui/cast/ChromecastController.h"
#include "ui/cast/DlnaController.h"

#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMetaMethod>
#include <QSignalSpy>
#include <QStringList>
#include <QThread>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>

using kvr::ui::cast::CastController;
using kvr::ui::cast::CastDevice;
using kvr::ui::cast::LoadRequest;

namespace {

// The smallest controller: the base's fields, signals and status update, with no receiver behind it.
class BareController : public CastController {
public:
    using CastController::CastController;
    using CastController::updateStatus;

    void connectDevice() override { }
    void load(const LoadRequest&) override { }
    void play() override { }
    void pause() override { }
    void stop() override { }
    void seek(double) override { }
    void setVolume(double) override { }
    void disconnectDevice() override { }
};

CastDevice livingRoom()
{
    CastDevice d;
    d.id = "dlna:uuid-1";
    d.type = 2;
    d.name = "Living Room";
    d.model = "Renderer 2";
    d.address = QHostAddress("192.168.1.40");
    d.port = 49152;
    d.avTransportUrl = QUrl("http://192.168.1.40:49152/avt");
    d.renderingControlUrl = QUrl("http://192.168.1.40:49152/rc");
    d.descriptionUrl = QUrl("http://192.168.1.40:49152/desc.xml");
    d.manual = true;
    d.lastSeenMs = 1'700'000'000'000;
    return d;
}

} // namespace

TEST(CastController, StartsIdleWithTheReceiverCopied)
{
    const CastDevice device = livingRoom();
    BareController controller(device);

    EXPECT_EQ(controller.state(), CastController::Idle);
    EXPECT_EQ(controller.position(), 0.0);
    EXPECT_EQ(controller.duration(), 0.0);
    EXPECT_EQ(controller.volume(), 1.0);
    EXPECT_FALSE(controller.statusClock().isValid());
    EXPECT_EQ(controller.currentPosition(), 0.0);
    EXPECT_FALSE(controller.supportsSubtitleTracks());
    EXPECT_TRUE(controller.supportsVolume());

    const CastDevice& copy = controller.device();
    EXPECT_EQ(copy.id, device.id);
    EXPECT_EQ(copy.type, device.type);
    EXPECT_EQ(copy.name, device.name);
    EXPECT_EQ(copy.model, device.model);
    EXPECT_EQ(copy.address, device.address);
    EXPECT_EQ(copy.port, device.port);
    EXPECT_EQ(copy.avTransportUrl, device.avTransportUrl);
    EXPECT_EQ(copy.renderingControlUrl, device.renderingControlUrl);
    EXPECT_EQ(copy.descriptionUrl, device.descriptionUrl);
    EXPECT_EQ(copy.manual, device.manual);
    EXPECT_EQ(copy.lastSeenMs, device.lastSeenMs);
}

// The session connects to the signals and reads the states as plain numbers, so both are fixed.
TEST(CastController, StatesAndSignalsKeepTheirNumbers)
{
    EXPECT_EQ(CastController::Idle, 0);
    EXPECT_EQ(CastController::Connecting, 1);
    EXPECT_EQ(CastController::Loading, 2);
    EXPECT_EQ(CastController::Buffering, 3);
    EXPECT_EQ(CastController::Playing, 4);
    EXPECT_EQ(CastController::Paused, 5);
    EXPECT_EQ(CastController::Error, 6);

    const QMetaObject& meta = CastController::staticMetaObject;
    QStringList own;
    for (int i = meta.methodOffset(); i < meta.methodCount(); ++i) {
        const QMetaMethod method = meta.method(i);
        EXPECT_EQ(method.methodType(), QMetaMethod::Signal) << method.methodSignature().constData();
        own << QString::fromLatin1(method.methodSignature());
    }
    EXPECT_EQ(own, QStringList({ "connected()", "statusChanged()", "ended()", "failed(QString)", "notice(QString)" }));
    EXPECT_EQ(meta.method(meta.indexOfSignal("failed(QString)")).parameterNames().value(0), "message");
    EXPECT_EQ(meta.method(meta.indexOfSignal("notice(QString)")).parameterNames().value(0), "message");
    EXPECT_EQ(meta.propertyCount(), meta.propertyOffset());
}

TEST(CastController, UpdateStatusKeepsAnUnknownDuration)
{
    struct Case {
        const char* what;
        int state;
        double position;
        double duration;
        double expectedDuration;
    };
    const Case cases[] = {
        { "a negative duration keeps the old one", CastController::Playing, 12.5, -1.0, 300.0 },
        { "any negative value is unknown", CastController::Buffering, 3.0, -0.001, 300.0 },
        { "zero is a known duration", CastController::Paused, 7.0, 0.0, 0.0 },
        { "a new duration replaces the old", CastController::Idle, 0.0, 42.25, 42.25 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BareController controller(livingRoom());
        controller.updateStatus(CastController::Loading, 1.0, 300.0);
        ASSERT_EQ(controller.duration(), 300.0);
        QSignalSpy changed(&controller, &CastController::statusChanged);
        QSignalSpy otherSignals(&controller, &CastController::failed);

        // Let the clock move on, so that a restart shows as a later start.
        const qint64 startedBefore = controller.statusClock().msecsSinceReference();
        while (controller.statusClock().elapsed() < 2)
            QThread::msleep(1);
        controller.updateStatus(c.state, c.position, c.duration);

        EXPECT_EQ(controller.state(), c.state);
        EXPECT_EQ(controller.position(), c.position);
        EXPECT_EQ(controller.duration(), c.expectedDuration);
        EXPECT_TRUE(controller.statusClock().isValid());
        EXPECT_GT(controller.statusClock().msecsSinceReference(), startedBefore);
        EXPECT_EQ(changed.count(), 1);
        EXPECT_EQ(otherSignals.count(), 0);
        EXPECT_EQ(controller.volume(), 1.0);
    }
}

// Readers extrapolate the position with the status clock only while the receiver plays.
TEST(CastController, PositionRunsOnOnlyWhilePlaying)
{
    BareController controller(livingRoom());
    controller.updateStatus(CastController::Playing, 10.0, 60.0);
    QDeadlineTimer deadline(20000);
    while (controller.currentPosition() < 10.05 && !deadline.hasExpired())
        QThread::msleep(5);
    EXPECT_GE(controller.currentPosition(), 10.05);
    EXPECT_EQ(controller.position(), 10.0);

    for (int state : { int(CastController::Paused), int(CastController::Buffering), int(CastController::Loading),
             int(CastController::Idle), int(CastController::Error) }) {
        controller.updateStatus(state, 20.0, -1.0);
        while (controller.statusClock().elapsed() < 20)
            QThread::msleep(5);
        EXPECT_EQ(controller.currentPosition(), 20.0) << "state " << state;
    }
}

TEST(CastController, DefaultLoadRequestIsEmptyVideo)
{
    const LoadRequest request;
    EXPECT_TRUE(request.video);
    EXPECT_FALSE(request.liveConversion);
    EXPECT_EQ(request.startSeconds, 0.0);
    EXPECT_EQ(request.durationSeconds, 0.0);
    EXPECT_TRUE(request.url.isEmpty());
    EXPECT_FALSE(request.subtitleUrl.isValid());
    EXPECT_TRUE(request.subtitleUrl.isEmpty());
    EXPECT_TRUE(request.contentType.isEmpty());
    EXPECT_TRUE(request.title.isEmpty());
    EXPECT_TRUE(request.artist.isEmpty());
    EXPECT_TRUE(request.subtitleLanguage.isEmpty());
}

// Times in each receiver's own notation, as its controller reads them: what cannot be the time of a medium (not
// finite, negative, beyond 100 hours) is not taken, however it is written.
TEST(CastController, ReceiversTimesBeyondReasonAreNotTaken)
{
    using kvr::ui::cast::AirPlayController;
    using kvr::ui::cast::ChromecastController;
    using kvr::ui::cast::DlnaController;
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // A JSON number of a Chromecast status, from the text of a status where JSON can write it.
    auto json = [](const char* number) {
        return QJsonDocument::fromJson(QByteArray("{\"currentTime\":") + number + "}")
            .object()
            .value(QStringLiteral("currentTime"));
    };
    auto plist
        = [](const char* value) { return "<dict><key>duration</key><real>" + QByteArray(value) + "</real></dict>"; };
    const struct {
        const char* what;
        std::optional<double> dlna;
        std::optional<double> airPlay;
        std::optional<double> chromecast;
    } rows[] = {
        { "infinite", DlnaController::parseHms("inf:00:00"), AirPlayController::plistSeconds(plist("inf"), "duration"),
            ChromecastController::statusSeconds(QJsonValue(inf)) },
        { "not a number", DlnaController::parseHms("nan:00:00"),
            AirPlayController::plistSeconds(plist("nan"), "duration"),
            ChromecastController::statusSeconds(QJsonValue(nan)) },
        { "1e308 s", DlnaController::parseHms("0:00:1e308"),
            AirPlayController::plistSeconds(plist("1e308"), "duration"),
            ChromecastController::statusSeconds(json("1e308")) },
        { "negative", DlnaController::parseHms("-1:00:00"), AirPlayController::plistSeconds(plist("-5"), "duration"),
            ChromecastController::statusSeconds(json("-5")) },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_FALSE(row.dlna.has_value()) << *row.dlna;
        EXPECT_FALSE(row.airPlay.has_value()) << *row.airPlay;
        EXPECT_FALSE(row.chromecast.has_value()) << *row.chromecast;
    }
    EXPECT_EQ(DlnaController::parseHms("1:00:00"), 3600.0);
    EXPECT_EQ(AirPlayController::plistSeconds(plist("3600"), "duration"), 3600.0);
    EXPECT_EQ(ChromecastController::statusSeconds(json("3600")), 3600.0);
    // Just past the limit is refused as well; a real 0 is taken, apart from those.
    EXPECT_FALSE(DlnaController::parseHms("100:00:01").has_value());
    EXPECT_EQ(AirPlayController::plistSeconds(plist("0"), "duration"), 0.0);
}
