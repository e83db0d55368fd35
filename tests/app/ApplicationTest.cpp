#include "app/Application.h"
#include "app/SingleInstance.h"
#include "engine/MediaSession.h"
#include "qml/QmlModule.h"
#include "tests/app/WindowPart.h"
#include "tests/platform/BusHarness.h"
#include "tests/support/TestSupport.h"
#include "tests/support/qt/ServiceDoubles.h"
#include "tests/ui/GTestQtPrinters.h"
#include "tests/ui/LoopbackHttpServer.h"
#include "ui/Actions.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/bridge/RemotePlayback.h"
#include "ui/cast/CastSession.h"
#include "ui/library/Library.h"

#include <QDBusMessage>
#include <QElapsedTimer>
#include <QLibraryInfo>
#include <QProcess>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickWindow>
#include <QSettings>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using kvr::app::Application;
using kvr::platform::Smtc;
using kvr::test::waitUntil;
using State = kvr::ui::MediaSessionBridge::State;

namespace {

const QString kMpris = QStringLiteral("org.mpris.MediaPlayer2.kestrune");
const QString kMprisPath = QStringLiteral("/org/mpris/MediaPlayer2");
const QString kMprisPlayer = QStringLiteral("org.mpris.MediaPlayer2.Player");

QString fixturePath(const char* name)
{
    return QString::fromStdString(kvr::test::fixture(name).string());
}

// What the tests that play wait for (the scene graph, the bus, a second process) can take many seconds on a
// busy machine; the medium they play lasts longer than any of it.
constexpr const char* kLongClip = "thirty-seconds.mp4";
constexpr int kGenerousMs = 30000;

// Plays entry 0 of list the way a restored session followed by a click would.
void playEntries(Application& app, const QStringList& list)
{
    app.bridge()->restorePlaylist(list, 0);
    app.bridge()->openEntry(0);
}

bool reaches(Application& app, State state, int timeoutMs = kGenerousMs)
{
    return waitUntil([&] { return app.bridge()->state() == state; }, timeoutMs);
}

// Open threads still there when the quit handler returned.
int openThreadsAfterSaving = -1;

// Runs the event loop until "app.quit" ends it, as the program does; returns the milliseconds from the quit
// request to the end of the loop.
qint64 quitThroughTheAction(Application& app)
{
    const QMetaObject::Connection saving = QObject::connect(
        qApp, &QCoreApplication::aboutToQuit, qApp,
        [&app] {
            app.saveSessionOnQuit();
            openThreadsAfterSaving = kvr::test::countThreadsNamed("kvr-open");
        },
        Qt::DirectConnection);
    QElapsedTimer sinceQuit;
    QTimer::singleShot(0, [&] {
        sinceQuit.start();
        app.actions()->trigger(QStringLiteral("app.quit"));
    });
    QCoreApplication::exec();
    QObject::disconnect(saving);
    return sinceQuit.elapsed();
}

} // namespace

TEST(Application, MapsPlayerStatesForTheDesktop)
{
    struct Case {
        State state;
        int smtc;
        int taskbar;
    };
    const Case table[] = {
        { State::Idle, 0, 0 },
        { State::Opening, 1, 1 },
        { State::Prepared, 1, 2 },
        { State::Playing, 2, 2 },
        { State::Paused, 3, 3 },
        { State::Ending, 1, 2 },
        { State::Closed, 0, 0 },
        { State::Error, 1, 4 },
    };
    for (const Case& c : table) {
        EXPECT_EQ(Application::smtcStatus(c.state), c.smtc) << c.state;
        EXPECT_EQ(Application::taskbarState(c.state), c.taskbar) << c.state;
    }
}

TEST(Application, ProgressIsTruncatedThousandthsOfAKnownDuration)
{
    struct Case {
        qint64 clockUs;
        qint64 durationUs;
        int permille;
    };
    const Case table[] = {
        { 5'000'000, 0, -1 },
        { 5'000'000, -1, -1 },
        { 0, 10'000'000, 0 },
        { 9'999, 10'000'000, 0 },
        { 1'999'999, 10'000'000, 199 },
        { 10'000'000, 10'000'000, 1000 },
        // Ten hours: the product needs 64 bits.
        { 35'999'000'000, 36'000'000'000, 999 },
    };
    for (const Case& c : table)
        EXPECT_EQ(Application::progressPermille(c.clockUs, c.durationUs), c.permille) << c.clockUs;
}

TEST(Application, MediaButtonsBecomeNamedActions)
{
    kvr::ui::Actions actions;
    QStringList ran;
    for (const char* id : { "playback.play", "playback.pause", "playback.toggle", "playback.stop", "playlist.next",
             "playlist.previous" }) {
        const QString name = QString::fromLatin1(id);
        actions.add(name, [&ran, name](const QVariant&) { ran.append(name); });
    }
    const std::pair<Smtc::Button, const char*> table[] = {
        { Smtc::Button::Play, "playback.play" },
        { Smtc::Button::Pause, "playback.pause" },
        { Smtc::Button::PlayPause, "playback.toggle" },
        { Smtc::Button::Next, "playlist.next" },
        { Smtc::Button::Previous, "playlist.previous" },
        { Smtc::Button::Stop, "playback.stop" },
    };
    for (const auto& [button, id] : table) {
        ran.clear();
        Application::forwardSmtcButton(actions, button);
        EXPECT_EQ(ran, QStringList { QString::fromLatin1(id) });
    }
}

TEST(Application, StartsWithEveryActionAndContextObject)
{
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    ASSERT_NE(app.window(), nullptr);
    QObject* sink = app.window()->findChild<QObject*>(QStringLiteral("videoSink"));
    ASSERT_NE(sink, nullptr);
    EXPECT_EQ(sink->property("bridge").value<QObject*>(), app.bridge());
    for (const char* id :
        { "playback.open", "playback.openDialog", "playback.play", "playback.pause", "playback.toggle", "playback.stop",
            "playlist.add", "playlist.clear", "playlist.next", "playlist.previous", "app.quit",
            "window.toggleFullscreen", "app.check_for_updates", "cast.start", "cast.switch_receiver", "cast.stop",
            "cast.refresh_discovery", "cast.list_receivers", "cast.force_transcode", "cast.set_subtitle_mode" })
        EXPECT_TRUE(app.actions()->isRegistered(QString::fromLatin1(id))) << id;
    QQmlContext* context = app.qmlEngine()->rootContext();
    for (const char* name : { "Player", "Actions", "Hud", "Converter", "Library", "Cast", "Updates" })
        EXPECT_NE(context->contextProperty(QString::fromLatin1(name)).value<QObject*>(), nullptr) << name;
    EXPECT_TRUE(context->contextProperty(QStringLiteral("AppDirUrl")).toString().startsWith("file:///"));
    for (const char* id : { "kvr", "library" })
        EXPECT_NE(app.qmlEngine()->imageProvider(QString::fromLatin1(id)), nullptr) << id;
    ASSERT_NE(app.statisticsTimer(), nullptr);
    EXPECT_TRUE(app.statisticsTimer()->isActive());
    EXPECT_EQ(app.statisticsTimer()->interval(), 1000);
}

// The window follows the context objects it is given, also after it has loaded: doubles swapped in for the
// conversion queue, the library and casting reach the on-screen message.
TEST(Application, WindowTakesServicesSwappedInAfterStart)
{
    kvr::test::ConverterDouble converter;
    kvr::test::LibraryDouble library;
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    kvr::test::CastDouble cast(app.bridge());
    QQmlContext* context = app.qmlEngine()->rootContext();
    context->setContextProperty(QStringLiteral("Converter"), &converter);
    context->setContextProperty(QStringLiteral("Library"), &library);
    context->setContextProperty(QStringLiteral("Cast"), &cast);
    QObject* text = app.window()->findChild<QObject*>(QStringLiteral("osdText"));
    ASSERT_NE(text, nullptr);

    const std::vector<std::pair<std::function<void()>, QString>> cases = {
        { [&] { cast.sendNotice(QStringLiteral("Connected to Kitchen")); }, QStringLiteral("Connected to Kitchen") },
        { [&] { library.sendNotice(QStringLiteral("Scanned 3 files")); }, QStringLiteral("Scanned 3 files") },
        { [&] { converter.finish(3, true, QStringLiteral("clip_converted.mp4")); },
            QStringLiteral("Converted: clip_converted.mp4") },
        { [&] { converter.finish(4, false, QStringLiteral("Cancelled")); },
            QStringLiteral("Conversion failed: Cancelled") },
    };
    for (const auto& [send, shown] : cases) {
        send();
        EXPECT_EQ(text->property("text").toString(), shown);
    }

    // The casting window asks the new Cast for discovery.
    QObject* castWindow = kvr::test::windowPart(app.window(), QStringLiteral("castWindow"));
    ASSERT_NE(castWindow, nullptr);
    QMetaObject::invokeMethod(castWindow, "openWindow");
    EXPECT_EQ(cast.property("calls").toStringList(), QStringList { QStringLiteral("setMenuOpen(true)") });
    QMetaObject::invokeMethod(castWindow, "close");
}

// Each object may still use the ones deleted after it: the QML engine goes before everything it shows, the
// cast session before the bridge it drives.
TEST(Application, TearsDownInOrder)
{
    auto app = std::make_unique<Application>(nullptr);
    ASSERT_TRUE(app->start({}, kvr::qml::mainComponentUrl()));
    QStringList deleted;
    auto watch = [&deleted](QObject* object, const QString& name) {
        ASSERT_NE(object, nullptr) << name.toStdString();
        QObject::connect(object, &QObject::destroyed, [&deleted, name] { deleted.append(name); });
    };
    QQmlContext* context = app->qmlEngine()->rootContext();
    watch(app->qmlEngine(), QStringLiteral("engine"));
    for (const char* name : { "Updates", "Cast", "Library", "Converter", "Hud", "Actions", "Player" })
        watch(context->contextProperty(QString::fromLatin1(name)).value<QObject*>(), QString::fromLatin1(name));
    app.reset();
    EXPECT_EQ(
        deleted, (QStringList { "engine", "Updates", "Cast", "Library", "Converter", "Hud", "Actions", "Player" }));
}

TEST(Application, MainThatDoesNotLoadEndsWithMinusOne)
{
    const int result
        = kvr::app::runPlayer(nullptr, {}, QUrl(QStringLiteral("qrc:/qt/qml/Kestrune/MediaPlayer/Missing.qml")));
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(QGuiApplication::topLevelWindows().isEmpty());
}

// The program itself, its QML imports hidden by a qt.conf beside a copy of it: the window cannot load, and the
// exit status says so.
TEST(Application, ProgramWhoseWindowDoesNotLoadExitsWith255)
{
    namespace fs = std::filesystem;
    const fs::path dir = kvr::test::scratchDirectory() / "without-qml";
    const fs::path imports = dir / "no-imports";
    fs::create_directories(imports);
    const fs::path program = dir / "kestrune";
    fs::copy_file(KVR_PLAYER_EXE, program, fs::copy_options::overwrite_existing);
    {
        std::ofstream conf(dir / "qt.conf");
        conf << "[Paths]\nPrefix=" << QLibraryInfo::path(QLibraryInfo::PrefixPath).toStdString()
             << "\nPlugins=" << QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString()
             << "\nQmlImports=" << imports.string() << "\n";
    }
    QProcess player;
    player.setProcessChannelMode(QProcess::ForwardedChannels);
    player.start(QString::fromStdString(program.string()), {});
    ASSERT_TRUE(player.waitForStarted());
    ASSERT_TRUE(waitUntil([&] { return player.state() == QProcess::NotRunning; }, kGenerousMs));
    EXPECT_EQ(player.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(player.exitCode(), 255);
}

// A closed dialog is a hidden top-level window: toggling full screen must not bring it back.
TEST(Application, FullscreenTogglesOnlyWindowsOnScreen)
{
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    QQuickWindow* main = app.window();
    ASSERT_NE(main, nullptr);
    ASSERT_TRUE(waitUntil([&] { return main->isVisible(); }, kGenerousMs));
    QQuickWindow dialog;
    dialog.show();
    dialog.hide();
    QQuickWindow second;
    second.setVisibility(QWindow::FullScreen);

    app.actions()->trigger(QStringLiteral("window.toggleFullscreen"));
    EXPECT_EQ(main->visibility(), QWindow::FullScreen);
    EXPECT_EQ(second.visibility(), QWindow::Windowed);
    EXPECT_EQ(dialog.visibility(), QWindow::Hidden);
    EXPECT_FALSE(dialog.isVisible());

    app.actions()->trigger(QStringLiteral("window.toggleFullscreen"));
    EXPECT_EQ(main->visibility(), QWindow::Windowed);
    EXPECT_EQ(second.visibility(), QWindow::FullScreen);
    EXPECT_FALSE(dialog.isVisible());
}

TEST(Application, QuitRemembersVolumeAndPlaylist)
{
    const QStringList saved { fixturePath("clip.mp4"), fixturePath("tone6.mkv") };
    {
        QSettings settings;
        settings.setValue("session/playlist", saved);
        settings.setValue("session/index", 1);
        settings.remove("audio/volume");
    }
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    // Restored on the first turn of the event loop.
    ASSERT_TRUE(waitUntil([&] { return app.bridge()->playlistCount() == 2; }, kGenerousMs));
    EXPECT_EQ(app.bridge()->playlist(), saved);
    EXPECT_EQ(app.bridge()->playlistIndex(), 1);

    quitThroughTheAction(app);
    QSettings settings;
    EXPECT_EQ(settings.value("session/playlist").toStringList(), saved);
    EXPECT_EQ(settings.value("session/index").toInt(), 1);
    ASSERT_TRUE(settings.contains("audio/volume"));
    EXPECT_DOUBLE_EQ(settings.value("audio/volume").toDouble(), app.bridge()->volume());
}

// Muting is no volume: quitting while muted leaves the one stored before.
TEST(Application, QuitWhileMutedKeepsTheStoredVolume)
{
    QSettings().setValue("audio/volume", 0.4);
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    ASSERT_NEAR(app.bridge()->volume(), 0.4, 1e-6);
    app.bridge()->setVolume(0.7);
    app.bridge()->setMuted(true);
    ASSERT_TRUE(app.bridge()->muted());

    quitThroughTheAction(app);
    EXPECT_NEAR(QSettings().value("audio/volume").toDouble(), 0.4, 1e-6);
}

// While casting the player shows the receiver's volume; what quitting remembers is this machine's, and the
// receiver is left playing.
TEST(Application, QuitWhileCastingRemembersTheLocalVolume)
{
    struct Receiver : kvr::ui::RemotePlayback {
        QObject owner;
        QStringList calls;
        void load(const QString& url, int64_t) override { calls << "load " + url; }
        void play() override { calls << "play"; }
        void pause() override { calls << "pause"; }
        void stopPlayback() override { calls << "stop"; }
        void seek(int64_t) override { calls << "seek"; }
        void setVolume(double) override { calls << "volume"; }
        int64_t position() override { return 0; }
        int64_t duration() override { return 0; }
        double volume() override { return 0.3; }
        int state() override { return State::Playing; }
    } receiver;
    QSettings().remove("audio/volume");
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    app.bridge()->setVolume(0.6);
    app.bridge()->attachRemote(&receiver.owner, &receiver);
    ASSERT_TRUE(app.bridge()->casting());
    ASSERT_DOUBLE_EQ(app.bridge()->volume(), 0.3);

    quitThroughTheAction(app);
    // The engine keeps its volume as a float.
    EXPECT_NEAR(QSettings().value("audio/volume").toDouble(), 0.6, 1e-6);
    EXPECT_TRUE(receiver.calls.isEmpty());
}

TEST(Application, FilesOnTheCommandLineReplaceTheSavedSession)
{
    QSettings().setValue("session/playlist", QStringList { fixturePath("tone6.mkv") });
    Application app(nullptr);
    ASSERT_TRUE(app.start({ fixturePath("clip.mp4") }, kvr::qml::mainComponentUrl()));
    QSignalSpy added(app.actions(), &kvr::ui::Actions::triggered);
    ASSERT_TRUE(added.wait(kGenerousMs));
    EXPECT_EQ(added.at(0).at(0).toString(), "playlist.add");
    EXPECT_EQ(added.at(0).at(1).toString(), fixturePath("clip.mp4"));
    QTest::qWait(100);
    EXPECT_FALSE(app.bridge()->playlist().contains(fixturePath("tone6.mkv")));
}

TEST(Application, ForgottenPlaylistIsNeitherRestoredNorKept)
{
    {
        QSettings settings;
        settings.setValue("prefs/rememberPlaylist", false);
        settings.setValue("session/playlist", QStringList { fixturePath("clip.mp4") });
        settings.setValue("session/index", 0);
    }
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    ASSERT_FALSE(app.bridge()->rememberPlaylist());
    QTest::qWait(100);
    EXPECT_EQ(app.bridge()->playlistCount(), 0);

    quitThroughTheAction(app);
    QSettings settings;
    EXPECT_FALSE(settings.contains("session/playlist"));
    EXPECT_FALSE(settings.contains("session/index"));
}

// The open thread is blocked on a server that never answers; quitting must abandon it, not wait for it.
TEST(Application, QuitDuringAStalledOpenEndsPromptly)
{
    kvr::test::LoopbackHttpServer server;
    ASSERT_TRUE(server.isListening());
    server.hang("/stall.mp4");
    auto app = std::make_unique<Application>(nullptr);
    ASSERT_TRUE(app->start({}, kvr::qml::mainComponentUrl()));
    // A time-out far beyond any stall of a busy machine, so that only abandoning the open can end it early.
    constexpr int64_t stallTimeoutUs = 120'000'000;
    app->session()->setNetworkTimeoutUs(stallTimeoutUs);
    playEntries(*app, { server.url(QStringLiteral("/stall.mp4")).toString() });
    ASSERT_TRUE(waitUntil([&] { return !server.requests().isEmpty(); }, kGenerousMs));
    QElapsedTimer sinceRequest;
    sinceRequest.start();
    ASSERT_EQ(app->bridge()->state(), State::Opening);
    ASSERT_EQ(kvr::test::countThreadsNamed("kvr-open"), 1);

    quitThroughTheAction(*app);
    // The open was abandoned and joined before the medium was closed, not left to race the close.
    EXPECT_EQ(openThreadsAfterSaving, 0);
    app.reset();
    // Waiting for the open would have lasted until its network time-out gave up on the server.
    EXPECT_LT(sinceRequest.elapsed(), stallTimeoutUs / 1000);
}

TEST(Application, MediaKeysReachThePlayer)
{
    ASSERT_TRUE(kvr::test::privateBusRunning());
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    kvr::test::BusClient client;
    // The controls appear once the window's scene graph is up.
    ASSERT_TRUE(waitUntil([&] { return client.isRegistered(kMpris); }, kGenerousMs));
    playEntries(app, { fixturePath(kLongClip) });
    ASSERT_TRUE(reaches(app, State::Playing));
    ASSERT_TRUE(waitUntil(
        [&] { return client.property(kMpris, kMprisPath, kMprisPlayer, "PlaybackStatus").toString() == "Playing"; },
        kGenerousMs));

    // Play while playing is no toggle.
    client.call(kMpris, kMprisPath, kMprisPlayer, "Play");
    QTest::qWait(300);
    EXPECT_EQ(app.bridge()->state(), State::Playing);

    client.call(kMpris, kMprisPath, kMprisPlayer, "PlayPause");
    EXPECT_TRUE(reaches(app, State::Paused));
    client.call(kMpris, kMprisPath, kMprisPlayer, "Play");
    EXPECT_TRUE(reaches(app, State::Playing));
    EXPECT_EQ(client.property(kMpris, kMprisPath, kMprisPlayer, "PlaybackStatus").toString(), "Playing");
}

TEST(Application, DesktopFollowsPlaybackStartedBeforeTheFirstFrame)
{
    ASSERT_TRUE(kvr::test::privateBusRunning());
    kvr::test::BusClient client;
    client.listen(QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    bool rendered = false; // outlives the window that sets it
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    // Playing before the window has rendered once: hidden before its first expose, the window has no scene graph
    // until it is shown again, and the launcher and the media controls learn of the playback only then.
    QQuickWindow* window = app.window();
    ASSERT_NE(window, nullptr);
    window->hide();
    QObject::connect(window, &QQuickWindow::sceneGraphInitialized, window, [&] { rendered = true; });
    playEntries(app, { fixturePath(kLongClip) });
    ASSERT_TRUE(reaches(app, State::Playing));
    ASSERT_FALSE(rendered);
    window->show();

    // The media controls too show what plays, not the closed state they were published with.
    ASSERT_TRUE(waitUntil([&] { return client.isRegistered(kMpris); }, kGenerousMs));
    EXPECT_TRUE(waitUntil(
        [&] { return client.property(kMpris, kMprisPath, kMprisPlayer, "PlaybackStatus").toString() == "Playing"; },
        kGenerousMs));

    std::vector<double> progress;
    bool shown = false;
    double lastValue = -1;
    auto readLauncher = [&] {
        progress.clear();
        shown = false;
        for (const QDBusMessage& message : client.received) {
            const QVariantMap properties = kvr::test::busMap(message.arguments().value(1));
            // A state update repeats the last value with the visibility; a position update carries only the value.
            if (properties.contains("progress-visible"))
                shown = properties.value("progress-visible").toBool();
            else if (properties.contains("progress"))
                progress.push_back(properties.value("progress").toDouble());
            if (properties.contains("progress"))
                lastValue = properties.value("progress").toDouble();
        }
    };
    EXPECT_TRUE(waitUntil(
        [&] {
            readLauncher();
            return shown && progress.size() >= 2;
        },
        kGenerousMs));
    EXPECT_TRUE(shown);
    ASSERT_GE(progress.size(), 2u);
    // Sent only when the thousandth changes, so every value is a new one; the clock only moves forward.
    for (size_t i = 1; i < progress.size(); ++i)
        EXPECT_GT(progress[i], progress[i - 1]) << i;

    // Once the clock stands still, the launcher shows where it stands.
    app.bridge()->pause();
    ASSERT_TRUE(reaches(app, State::Paused));
    int last = -1;
    EXPECT_TRUE(waitUntil(
        [&] {
            readLauncher();
            last = Application::progressPermille(app.bridge()->clockUs(), app.bridge()->durationUs());
            return std::abs(lastValue - last / 1000.0) < 1e-6;
        },
        kGenerousMs))
        << lastValue << " " << last;
}

// The library's start-up work and the receivers' discovery count their delays from the window's first frame: before
// it they would only compete with the start.
TEST(Application, BackgroundWorkWaitsForTheFirstFrame)
{
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    // Hidden before its first expose, the window renders nothing until it is shown again.
    QQuickWindow* window = app.window();
    ASSERT_NE(window, nullptr);
    window->hide();
    std::atomic<bool> swapped { false };
    QObject::connect(
        window, &QQuickWindow::frameSwapped, window, [&swapped] { swapped = true; }, Qt::DirectConnection);
    QQmlContext* context = app.qmlEngine()->rootContext();
    auto* library = qobject_cast<kvr::ui::library::Library*>(
        context->contextProperty(QStringLiteral("Library")).value<QObject*>());
    auto* cast
        = qobject_cast<kvr::ui::cast::CastSession*>(context->contextProperty(QStringLiteral("Cast")).value<QObject*>());
    ASSERT_NE(library, nullptr);
    ASSERT_NE(cast, nullptr);
    QCoreApplication::processEvents();
    EXPECT_FALSE(library->startupPending());
    EXPECT_FALSE(cast->startupDiscoveryPending());

    window->show();
    // Both are armed together, the library's 3 s before the receivers' 4 s.
    bool castArmed = false;
    ASSERT_TRUE(waitUntil(
        [&] {
            castArmed = cast->startupDiscoveryPending();
            return library->startupPending() || !library->backups().isEmpty();
        },
        kGenerousMs));
    EXPECT_TRUE(swapped);
    EXPECT_TRUE(castArmed);
    // The library's start-up maintenance takes its first daily backup.
    EXPECT_TRUE(waitUntil([&] { return !library->backups().isEmpty(); }, kGenerousMs));
}

// A seek reopens the medium, which passes through its closed states: the desktop keeps showing it playing.
TEST(Application, DesktopKeepsPlayingThroughASeek)
{
    ASSERT_TRUE(kvr::test::privateBusRunning());
    kvr::test::BusClient client;
    client.listen(QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("PropertiesChanged"));
    client.listen(QStringLiteral("com.canonical.Unity.LauncherEntry"), QStringLiteral("Update"));
    Application app(nullptr);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    ASSERT_TRUE(waitUntil([&] { return client.isRegistered(kMpris); }, kGenerousMs));
    playEntries(app, { fixturePath(kLongClip) });
    ASSERT_TRUE(reaches(app, State::Playing));
    const auto status = [&] { return client.property(kMpris, kMprisPath, kMprisPlayer, "PlaybackStatus").toString(); };
    ASSERT_TRUE(waitUntil([&] { return status() == "Playing"; }, kGenerousMs));

    kvr::ui::MediaSessionBridge& bridge = *app.bridge();
    client.received.clear();
    // Asked again while the open thread still holds the engine just after Playing.
    ASSERT_TRUE(waitUntil(
        [&] {
            bridge.seekUs(20'000'000);
            return bridge.reopening();
        },
        kGenerousMs));
    QStringList read;
    QElapsedTimer sinceSeek;
    sinceSeek.start();
    while (bridge.reopening() && sinceSeek.elapsed() < kGenerousMs)
        read << status();
    ASSERT_TRUE(waitUntil([&] { return !bridge.reopening() && bridge.state() == State::Playing; }, kGenerousMs));
    EXPECT_GE(app.session()->clockUs(), 20'000'000);
    read << status();
    EXPECT_EQ(read.count(QStringLiteral("Playing")), read.size()) << read.join(' ').toStdString();

    // Nothing announced a stop, and the launcher kept its bar.
    for (const QDBusMessage& message : client.received) {
        const QVariantMap properties = kvr::test::busMap(message.arguments().value(1));
        if (properties.contains("PlaybackStatus")) {
            EXPECT_EQ(properties.value("PlaybackStatus").toString(), "Playing");
        }
        if (properties.contains("progress-visible")) {
            EXPECT_TRUE(properties.value("progress-visible").toBool());
        }
    }
}

// The second launch is the real program; this process is the running player it hands its file to, and whose
// window it brings to the front.
TEST(Application, SecondLaunchQueuesItsFile)
{
    kvr::app::SingleInstance single;
    ASSERT_TRUE(single.tryBecomePrimary());
    ASSERT_TRUE(single.isListening());
    bool activated = false; // outlives the window that sets it
    Application app(&single);
    ASSERT_TRUE(app.start({}, kvr::qml::mainComponentUrl()));
    QQuickWindow* main = app.window();
    ASSERT_NE(main, nullptr);
    playEntries(app, { fixturePath(kLongClip) });
    ASSERT_TRUE(reaches(app, State::Playing));
    // Another window has the focus, as the file manager would when the user opens a file from it. Tests in other
    // processes share the display and may take the focus too; only this player activates its own window.
    QWindow other;
    other.resize(100, 100);
    other.show();
    other.requestActivate();
    ASSERT_TRUE(waitUntil([&] { return other.isActive(); }, kGenerousMs));
    QObject::connect(main, &QWindow::activeChanged, main, [&] { activated = activated || main->isActive(); });
    QSignalSpy triggered(app.actions(), &kvr::ui::Actions::triggered);

    QProcess second;
    second.start(QStringLiteral(KVR_PLAYER_EXE), { fixturePath("tone6.mkv") });
    ASSERT_TRUE(waitUntil([&] { return second.state() == QProcess::NotRunning; }, kGenerousMs));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    ASSERT_TRUE(waitUntil([&] { return !triggered.isEmpty(); }, kGenerousMs));
    EXPECT_EQ(triggered.at(0).at(0).toString(), "playlist.add");
    EXPECT_EQ(triggered.at(0).at(1).toString(), fixturePath("tone6.mkv"));

    // Queued behind what plays, which plays on.
    EXPECT_TRUE(waitUntil([&] { return app.bridge()->playlistCount() == 2; }, kGenerousMs));
    EXPECT_EQ(app.bridge()->playlistIndex(), 0);
    EXPECT_EQ(app.bridge()->state(), State::Playing);
    // Without a window manager the activation request goes to the X server directly, and the window learns of it.
    EXPECT_TRUE(waitUntil([&] { return activated; }, kGenerousMs));
}

// The program as a user starts it: a window, sound on the test run's PulseAudio server, the clock running and
// the statistics line once a second.
TEST(Application, PlaysAFileGivenOnTheCommandLine)
{
    ASSERT_TRUE(qEnvironmentVariableIsSet("PULSE_SERVER")) << "run under scripts/test.sh";
    const QString log = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")) + "/kestrune/kvr.log";
    QProcess player;
    player.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    player.start(QStringLiteral(KVR_PLAYER_EXE), { fixturePath(kLongClip) });
    ASSERT_TRUE(player.waitForStarted());
    auto lines = [&] { return QString::fromStdString(kvr::test::readFile(log.toStdString())).split('\n'); };
    auto statsClocks = [&] {
        std::vector<qint64> clocks;
        for (const QString& line : lines()) {
            const int at = line.indexOf("stats: ");
            if (at >= 0 && line.contains("state=Playing"))
                clocks.push_back(line.section("clock_us=", 1).section(' ', 0, 0).toLongLong());
        }
        return clocks;
    };
    const bool playing = waitUntil([&] { return statsClocks().size() >= 3; }, 2 * kGenerousMs);
    player.kill();
    player.waitForFinished();
    ASSERT_TRUE(playing) << kvr::test::readFile(log.toStdString());

    // The open, then playback, by the log's own clock.
    QTime opening, started;
    for (const QString& line : lines()) {
        const QTime at = QTime::fromString(line.mid(1, 12), "HH:mm:ss.zzz");
        if (!opening.isValid() && line.contains("-> Opening"))
            opening = at;
        if (!started.isValid() && line.contains("-> Playing"))
            started = at;
    }
    ASSERT_TRUE(opening.isValid() && started.isValid());
    EXPECT_LE(opening, started);
    const std::vector<qint64> clocks = statsClocks();
    for (size_t i = 1; i < clocks.size(); ++i)
        EXPECT_GT(clocks[i], clocks[i - 1]);
}

// A logout or Ctrl+C ends the player like "app.quit": the volume and the session are saved.
TEST(Application, TerminationSignalSavesTheSession)
{
    const QString log = QString::fromLocal8Bit(qgetenv("XDG_RUNTIME_DIR")) + "/kestrune/kvr.log";
    const QString settings
        = QString::fromLocal8Bit(qgetenv("XDG_CONFIG_HOME")) + "/Kestrune/Kestrune Media Player.conf";
    QProcess player;
    player.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    player.start(QStringLiteral(KVR_PLAYER_EXE), { fixturePath(kLongClip) });
    ASSERT_TRUE(player.waitForStarted());
    const bool playing = waitUntil(
        [&] { return QString::fromStdString(kvr::test::readFile(log.toStdString())).contains("-> Playing"); },
        2 * kGenerousMs);
    player.terminate();
    ASSERT_TRUE(player.waitForFinished(kGenerousMs));
    ASSERT_TRUE(playing);
    EXPECT_EQ(player.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(player.exitCode(), 0);
    const QString saved = QString::fromStdString(kvr::test::readFile(settings.toStdString()));
    EXPECT_TRUE(saved.contains("volume=0.8")) << saved.toStdString();
    EXPECT_TRUE(saved.contains(kLongClip)) << saved.toStdString();
}
