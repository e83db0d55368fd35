#include "platform/Smtc.h"

#include "platform/DesktopEntry.h"
#include "tests/platform/BusHarness.h"

#include <QCoreApplication>
#include <QDBusObjectPath>
#include <QStringList>
#include <QThread>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Controls = kvr::platform::Smtc;
using Button = kvr::platform::Smtc::Button;

const QString service = QStringLiteral("org.mpris.MediaPlayer2.kestrune");
const QString path = QStringLiteral("/org/mpris/MediaPlayer2");
const QString root = QStringLiteral("org.mpris.MediaPlayer2");
const QString player = QStringLiteral("org.mpris.MediaPlayer2.Player");

void* windowHandle()
{
    static int window;
    return &window;
}

} // namespace

class Smtc : public testing::Test {
protected:
    void SetUp() override
    {
        if (!kvr::test::withoutBus()) {
            ASSERT_TRUE(kvr::test::privateBusRunning());
        }
    }

    QVariant playerProperty(const QString& name) { return client.property(service, path, player, name); }
    QDBusMessage callPlayer(const QString& method, const QVariantList& arguments = {})
    {
        return client.call(service, path, player, method, arguments);
    }

    kvr::test::BusClient client;
};

TEST_F(Smtc, BusCallsBecomeButtonPressesOnTheGuiThread)
{
    Controls controls;
    std::vector<Button> pressed;
    bool onGuiThread = true;
    controls.setButtonHandler([&](Button button) {
        pressed.push_back(button);
        onGuiThread = onGuiThread && QThread::currentThread() == QCoreApplication::instance()->thread();
    });
    ASSERT_TRUE(controls.attach(windowHandle()));

    const struct {
        const char* method;
        Button button;
    } cases[] = { { "Play", Button::Play }, { "Pause", Button::Pause }, { "PlayPause", Button::PlayPause },
        { "Stop", Button::Stop }, { "Next", Button::Next }, { "Previous", Button::Previous } };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.method);
        pressed.clear();
        EXPECT_EQ(callPlayer(QString::fromLatin1(c.method)).type(), QDBusMessage::ReplyMessage);
        EXPECT_EQ(pressed, std::vector<Button> { c.button });
    }
    EXPECT_TRUE(onGuiThread);

    // Seeking and opening are accepted and press nothing.
    pressed.clear();
    EXPECT_EQ(callPlayer(QStringLiteral("Seek"), { qlonglong(5000000) }).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(
        callPlayer(QStringLiteral("SetPosition"),
            { QVariant::fromValue(QDBusObjectPath(QStringLiteral("/org/kestrune/MediaPlayer/Track/1"))), qlonglong(0) })
            .type(),
        QDBusMessage::ReplyMessage);
    EXPECT_EQ(callPlayer(QStringLiteral("OpenUri"), { QStringLiteral("file:///media/clip.mkv") }).type(),
        QDBusMessage::ReplyMessage);
    EXPECT_TRUE(pressed.empty());
}

TEST_F(Smtc, HandlerMayBeReplacedOrClearedAtAnyTime)
{
    Controls controls;
    ASSERT_TRUE(controls.attach(windowHandle()));
    std::vector<std::string> log;

    // No handler yet: the call still succeeds.
    EXPECT_EQ(callPlayer(QStringLiteral("Play")).type(), QDBusMessage::ReplyMessage);

    // A handler that replaces itself keeps its own state alive until it returns.
    const std::string first = "first handler, long enough to live on the heap";
    controls.setButtonHandler([&controls, &log, first](Button) {
        controls.setButtonHandler([&log](Button) { log.push_back("second"); });
        log.push_back(first);
    });
    EXPECT_EQ(callPlayer(QStringLiteral("Next")).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(callPlayer(QStringLiteral("Next")).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(log, (std::vector<std::string> { first, "second" }));

    controls.setButtonHandler({});
    EXPECT_EQ(callPlayer(QStringLiteral("Stop")).type(), QDBusMessage::ReplyMessage);
    EXPECT_EQ(log.size(), 2u);
}

TEST_F(Smtc, PlaybackStatusFollowsTheStatusCodes)
{
    Controls controls;
    controls.setStatus(2); // before attaching: nothing
    ASSERT_TRUE(controls.attach(windowHandle()));
    EXPECT_EQ(playerProperty(QStringLiteral("PlaybackStatus")).toString(), QStringLiteral("Stopped"));
    client.listen(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));

    const struct {
        int code;
        const char* status;
    } steps[] = { { 2, "Playing" }, { 2, "Playing" }, { 3, "Paused" }, { 1, "Stopped" }, { 0, "Stopped" },
        { 2, "Playing" }, { 5, "Stopped" }, { 3, "Paused" }, { -1, "Stopped" }, { 3, "Paused" } };
    QStringList changes;
    QString shown = QStringLiteral("Stopped");
    for (const auto& step : steps) {
        SCOPED_TRACE(step.code);
        controls.setStatus(step.code);
        EXPECT_EQ(playerProperty(QStringLiteral("PlaybackStatus")).toString(), QString::fromLatin1(step.status));
        if (shown != QString::fromLatin1(step.status))
            changes << QString::fromLatin1(step.status);
        shown = QString::fromLatin1(step.status);
    }

    // Signals of one sender arrive in order: once the last change is in, every earlier one is too.
    ASSERT_TRUE(client.waitForSignals(changes.size()));
    kvr::test::waitUntil([] { return false; }, 100);
    ASSERT_EQ(client.received.size(), changes.size());
    for (qsizetype i = 0; i < changes.size(); ++i) {
        const auto arguments = client.received[i].arguments();
        ASSERT_EQ(arguments.size(), 3);
        EXPECT_EQ(client.received[i].path(), path);
        EXPECT_EQ(arguments[0].toString(), player);
        const auto changed = kvr::test::busMap(arguments[1]);
        EXPECT_EQ(changed.keys(), QStringList { QStringLiteral("PlaybackStatus") });
        EXPECT_EQ(changed.value(QStringLiteral("PlaybackStatus")).toString(), changes[i]);
        EXPECT_TRUE(arguments[2].toStringList().isEmpty());
    }
}

TEST_F(Smtc, MetadataCarriesTitleAndArtistWithTheBusTypesShellsExpect)
{
    Controls controls;
    controls.setMetadata("Too early", "Nobody"); // before attaching: nothing
    ASSERT_TRUE(controls.attach(windowHandle()));
    EXPECT_TRUE(kvr::test::busMap(playerProperty(QStringLiteral("Metadata"))).isEmpty());
    client.listen(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));

    const auto checkTypes = [](const QVariantMap& metadata, const QString& title, const QStringList& artists) {
        EXPECT_EQ(metadata.size(), 3);
        const auto trackId = metadata.value(QStringLiteral("mpris:trackid"));
        EXPECT_EQ(trackId.metaType(), QMetaType::fromType<QDBusObjectPath>());
        EXPECT_FALSE(trackId.value<QDBusObjectPath>().path().isEmpty());
        const auto titleValue = metadata.value(QStringLiteral("xesam:title"));
        EXPECT_EQ(titleValue.metaType(), QMetaType::fromType<QString>());
        EXPECT_EQ(titleValue.toString(), title);
        const auto artistValue = metadata.value(QStringLiteral("xesam:artist"));
        EXPECT_EQ(artistValue.metaType(), QMetaType::fromType<QStringList>());
        EXPECT_EQ(artistValue.toStringList(), artists);
        return trackId.value<QDBusObjectPath>().path();
    };

    const std::string title = "Nachtstück – Ørsted «live»";
    controls.setMetadata(title, "Émile & the Ünïcode Band");
    const auto first = checkTypes(kvr::test::busMap(playerProperty(QStringLiteral("Metadata"))),
        QString::fromUtf8(title.c_str()), { QStringLiteral("Émile & the Ünïcode Band") });
    controls.setMetadata(title, "Émile & the Ünïcode Band"); // the same again: no change
    controls.setMetadata("Second", "Someone");
    const auto second = checkTypes(kvr::test::busMap(playerProperty(QStringLiteral("Metadata"))),
        QStringLiteral("Second"), { QStringLiteral("Someone") });
    EXPECT_NE(first, second);

    ASSERT_TRUE(client.waitForSignals(2));
    kvr::test::waitUntil([] { return false; }, 100);
    ASSERT_EQ(client.received.size(), 2);
    const auto signalled = [&](int i) {
        const auto changed = kvr::test::busMap(client.received[i].arguments().value(1));
        EXPECT_EQ(changed.keys(), QStringList { QStringLiteral("Metadata") });
        return kvr::test::busMap(changed.value(QStringLiteral("Metadata")));
    };
    EXPECT_EQ(
        checkTypes(signalled(0), QString::fromUtf8(title.c_str()), { QStringLiteral("Émile & the Ünïcode Band") }),
        first);
    EXPECT_EQ(checkTypes(signalled(1), QStringLiteral("Second"), { QStringLiteral("Someone") }), second);
}

TEST_F(Smtc, DescribesThePlayerOnTheBus)
{
    Controls controls;
    ASSERT_TRUE(controls.attach(windowHandle()));

    const auto rootProperties = client.properties(service, path, root);
    const auto playerProperties = client.properties(service, path, player);
    const struct {
        const QVariantMap& properties;
        const char* name;
        QVariant value;
    } expected[] = {
        { rootProperties, "Identity", QStringLiteral("Kestrune Media Player") },
        { rootProperties, "DesktopEntry", QStringLiteral("kestrune") },
        { rootProperties, "CanQuit", false },
        { rootProperties, "CanRaise", false },
        { rootProperties, "HasTrackList", false },
        { playerProperties, "PlaybackStatus", QStringLiteral("Stopped") },
        { playerProperties, "Rate", 1.0 },
        { playerProperties, "MinimumRate", 1.0 },
        { playerProperties, "MaximumRate", 1.0 },
        { playerProperties, "CanPlay", true },
        { playerProperties, "CanPause", true },
        { playerProperties, "CanGoNext", true },
        { playerProperties, "CanGoPrevious", true },
        { playerProperties, "CanControl", true },
        { playerProperties, "CanSeek", false },
    };
    for (const auto& e : expected) {
        SCOPED_TRACE(e.name);
        const auto value = e.properties.value(QString::fromLatin1(e.name));
        EXPECT_EQ(value.metaType(), e.value.metaType());
        EXPECT_EQ(value, e.value);
    }
    const auto schemes = rootProperties.value(QStringLiteral("SupportedUriSchemes")).toStringList();
    for (const char* scheme : { "file", "http", "https", "rtsp", "rtmp", "mms", "srt", "sftp" })
        EXPECT_TRUE(schemes.contains(QString::fromLatin1(scheme))) << scheme;
    const auto mimeTypes = rootProperties.value(QStringLiteral("SupportedMimeTypes")).toStringList();
    for (const char* type : { "video/x-matroska", "video/mp4", "audio/mpeg", "audio/flac", "audio/x-mpegurl" })
        EXPECT_TRUE(mimeTypes.contains(QString::fromLatin1(type))) << type;
}

TEST_F(Smtc, OwnsTheBusNameWhileAttached)
{
    {
        Controls controls;
        EXPECT_FALSE(controls.attach(nullptr));
        EXPECT_FALSE(client.isRegistered(service));
    }
    {
        Controls controls;
        std::vector<Button> pressed;
        controls.setButtonHandler([&](Button button) { pressed.push_back(button); });
        ASSERT_TRUE(controls.attach(windowHandle()));
        EXPECT_TRUE(client.isRegistered(service));
        EXPECT_TRUE(controls.attach(windowHandle()));

        // Another player object cannot take the name, and its failure leaves the first one working.
        {
            Controls other;
            EXPECT_FALSE(other.attach(windowHandle()));
            other.setStatus(2);
        }
        EXPECT_TRUE(client.isRegistered(service));
        EXPECT_EQ(callPlayer(QStringLiteral("Pause")).type(), QDBusMessage::ReplyMessage);
        EXPECT_EQ(pressed, std::vector<Button> { Button::Pause });
        EXPECT_EQ(playerProperty(QStringLiteral("PlaybackStatus")).toString(), QStringLiteral("Stopped"));
    }
    EXPECT_FALSE(client.isRegistered(service));
    Controls again;
    EXPECT_TRUE(again.attach(windowHandle()));
}

TEST_F(Smtc, WithoutSessionBusAttachFailsAndNothingElseDoes)
{
    if (kvr::test::runCurrentTestWithoutBus())
        return;
    Controls controls;
    controls.setButtonHandler([](Button) { FAIL() << "no button can be pressed without a bus"; });
    EXPECT_FALSE(controls.attach(windowHandle()));
    EXPECT_FALSE(controls.attach(windowHandle()));
    controls.setStatus(2);
    controls.setMetadata("Title", "Artist");
}
