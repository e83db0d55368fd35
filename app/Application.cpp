#include "app/Application.h"

#include "app/QuitOnSignal.h"
#include "app/SingleInstance.h"
#include "app/Trace.h"
#include "app/UiWatchdog.h"
#include "engine/MediaSession.h"
#include "platform/TaskbarProgress.h"
#include "qml/QmlModule.h"
#include "ui/Actions.h"
#include "ui/CoverImageProvider.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/PerformanceHud.h"
#include "ui/bridge/PlaylistFiles.h"
#include "ui/convert/TranscodeQueue.h"
#include "ui/UpdateChecker.h"
#include "ui/cast/CastSession.h"
#include "ui/library/Library.h"
#include "ui/library/LibraryImageProvider.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMetaObject>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickWindow>
#include <QSet>
#include <QSettings>
#include <QWindow>

#include <memory>

namespace kvr::app {

namespace {

using State = ui::MediaSessionBridge::State;

const QString kVolumeKey = QStringLiteral("audio/volume");
const QString kPlaylistKey = QStringLiteral("session/playlist");
const QString kIndexKey = QStringLiteral("session/index");

} // namespace

Application::Application(SingleInstance* singleInstance)
    : singleInstance_(singleInstance)
{
}

Application::~Application()
{
    delete statisticsTimer_;
    delete taskbar_;
    taskbar_ = nullptr;
    delete smtc_;
    smtc_ = nullptr;
    delete engine_;
    delete updates_;
    delete cast_;
    delete library_;
    delete transcodeQueue_;
    delete watchdog_;
    delete hud_;
    delete actions_;
    delete settings_;
    delete bridge_;
    delete session_;
}

bool Application::start(const QStringList& files, const QUrl& mainUrl)
{
    engine_ = new QQmlApplicationEngine();
    createServices(*engine_);
    // The library's scan and backup and the receivers' discovery wait for the window's first frame: before it
    // they would only compete with the start. Their delays count from that frame.
    library_->holdStartup();
    cast_->holdStartupDiscovery();

    engine_->load(mainUrl);
    if (engine_->rootObjects().isEmpty())
        return false;

    smtc_ = new platform::Smtc();
    taskbar_ = new platform::TaskbarProgress();
    if (QQuickWindow* main = window()) {
        hookWindow(main);
        // frameSwapped may come from the render thread; with the window as context the work starts on the GUI
        // thread.
        QObject::connect(
            main, &QQuickWindow::frameSwapped, main, [this] { startBackgroundWork(); }, Qt::SingleShotConnection);
    } else {
        startBackgroundWork();
    }

    if (singleInstance_) {
        QObject::connect(singleInstance_, &SingleInstance::filesReceived, actions_,
            [this](const QStringList& received) { openReceivedFiles(received); });
    }

    scheduleStartEntries(files);

    statisticsTimer_ = new QTimer();
    engine::MediaSession* session = session_;
    QObject::connect(
        statisticsTimer_, &QTimer::timeout, statisticsTimer_, [session] { session->logStats(); }, Qt::DirectConnection);
    statisticsTimer_->start(1000);
    return true;
}

void Application::createServices(QQmlEngine& qmlEngine)
{
    session_ = new engine::MediaSession();
    bridge_ = new ui::MediaSessionBridge();
    bridge_->setSession(session_);

    settings_ = new QSettings();
    bridge_->setVolume(settings_->value(kVolumeKey, 0.8).toDouble());

    actions_ = new ui::Actions();
    hud_ = new ui::PerformanceHud();
    watchdog_ = new UiWatchdog();
    hud_->setBridge(bridge_);
    registerPlayerActions();

    transcodeQueue_ = new ui::TranscodeQueue();
    library_ = new ui::library::Library();
    QObject::connect(bridge_, &ui::MediaSessionBridge::played, library_, &ui::library::Library::recordPlay);

    cast_ = new ui::cast::CastSession(bridge_);
    updates_ = new ui::UpdateChecker();
    registerCastActions();

    qml::prepareEngine(qmlEngine);
    // The QML module's library does not link casting, so the cast type joins the module here.
    qmlRegisterAnonymousType<ui::cast::CastSession>("Kestrune.MediaPlayer", 1);
    QQmlContext* context = qmlEngine.rootContext();
    qmlEngine.addImageProvider(QStringLiteral("kvr"), new ui::CoverImageProvider(bridge_));
    context->setContextProperty(QStringLiteral("Player"), bridge_);
    context->setContextProperty(QStringLiteral("Actions"), actions_);
    context->setContextProperty(QStringLiteral("Hud"), hud_);
    context->setContextProperty(QStringLiteral("Converter"), transcodeQueue_);
    qmlEngine.addImageProvider(
        QStringLiteral("library"), new ui::library::LibraryImageProvider(library_->coversDirectory()));
    context->setContextProperty(QStringLiteral("Library"), library_);
    context->setContextProperty(QStringLiteral("Cast"), cast_);
    context->setContextProperty(QStringLiteral("Updates"), updates_);
    context->setContextProperty(
        QStringLiteral("AppDirUrl"), QUrl::fromLocalFile(QCoreApplication::applicationDirPath()).toString());
}

void Application::startBackgroundWork()
{
    library_->startupAfter();
    cast_->startDiscoveryAfter();
}

QQuickWindow* Application::window() const
{
    if (!engine_ || engine_->rootObjects().isEmpty())
        return nullptr;
    return qobject_cast<QQuickWindow*>(engine_->rootObjects().constFirst());
}

void Application::registerPlayerActions()
{
    ui::Actions* actions = actions_;
    ui::MediaSessionBridge* bridge = bridge_;
    actions->add(QStringLiteral("playback.open"), [bridge](const QVariant& arg) { bridge->open(arg.toString()); });
    actions->add(QStringLiteral("playback.openDialog"), [](const QVariant&) {});
    actions->add(QStringLiteral("playback.play"), [bridge](const QVariant&) { bridge->play(); });
    actions->add(QStringLiteral("playback.pause"), [bridge](const QVariant&) { bridge->pause(); });
    actions->add(QStringLiteral("playback.toggle"), [bridge](const QVariant&) { bridge->togglePlayPause(); });
    actions->add(QStringLiteral("playback.stop"), [bridge](const QVariant&) { bridge->stop(); });
    actions->add(
        QStringLiteral("playlist.add"), [bridge](const QVariant& arg) { bridge->addToPlaylist(arg.toString()); });
    actions->add(QStringLiteral("playlist.clear"), [bridge](const QVariant&) { bridge->clearPlaylist(); });
    actions->add(QStringLiteral("playlist.next"), [bridge](const QVariant&) { bridge->playNext(); });
    actions->add(QStringLiteral("playlist.previous"), [bridge](const QVariant&) { bridge->playPrevious(); });
    actions->add(QStringLiteral("app.quit"), [](const QVariant&) { QCoreApplication::quit(); });
    actions->add(QStringLiteral("window.toggleFullscreen"), [](const QVariant&) {
        for (QWindow* window : QGuiApplication::topLevelWindows()) {
            // A closed dialog stays closed: only what is on screen changes mode.
            if (!window->isVisible())
                continue;
            window->setVisibility(
                window->visibility() == QWindow::FullScreen ? QWindow::Windowed : QWindow::FullScreen);
        }
    });
}

void Application::registerCastActions()
{
    // The main window starts the update check itself when it sees this action triggered.
    actions_->add(QStringLiteral("app.check_for_updates"), [](const QVariant&) {});
    ui::cast::CastSession* cast = cast_;
    actions_->add(QStringLiteral("cast.start"), [cast](const QVariant& arg) { cast->start(arg.toString()); });
    actions_->add(QStringLiteral("cast.switch_receiver"), [cast](const QVariant& arg) { cast->start(arg.toString()); });
    actions_->add(QStringLiteral("cast.stop"), [cast](const QVariant&) { cast->stop(); });
    actions_->add(QStringLiteral("cast.refresh_discovery"), [cast](const QVariant&) { cast->refresh(); });
    actions_->add(QStringLiteral("cast.list_receivers"), [cast](const QVariant&) { cast->refresh(); });
    actions_->add(QStringLiteral("cast.force_transcode"), [cast](const QVariant&) { cast->forceTranscode(); });
    actions_->add(QStringLiteral("cast.set_subtitle_mode"),
        [cast](const QVariant& arg) { cast->setSubtitleMode(arg.toString()); });
}

void Application::hookWindow(QQuickWindow* window)
{
    hud_->setWindow(window);

    // The scene graph may announce itself on the render thread; with the window as context the attach runs
    // on the GUI thread.
    platform::Smtc* smtc = smtc_;
    ui::Actions* actions = actions_;
    QObject::connect(
        window, &QQuickWindow::sceneGraphInitialized, window,
        [this, window, smtc, actions] {
            smtc->attach(reinterpret_cast<void*>(window->winId()));
            smtc->setButtonHandler([actions](platform::Smtc::Button button) {
                QMetaObject::invokeMethod(
                    actions, [actions, button] { forwardSmtcButton(*actions, button); }, Qt::QueuedConnection);
            });
            // Playback may have started before the window first rendered; the controls start out closed.
            refreshSmtc();
        },
        Qt::SingleShotConnection);
    QObject::connect(bridge_, &ui::MediaSessionBridge::stateChanged, window, [this] { refreshSmtc(); });
    QObject::connect(bridge_, &ui::MediaSessionBridge::sessionChanged, window, [this] { refreshSmtc(); });
    QObject::connect(bridge_, &ui::MediaSessionBridge::mediaInfoChanged, window, [this] { refreshSmtc(); });

    platform::TaskbarProgress* taskbar = taskbar_;
    QObject::connect(
        window, &QQuickWindow::sceneGraphInitialized, window,
        [this, window, taskbar] {
            taskbar->attach(reinterpret_cast<void*>(window->winId()));
            // State and position sent before the attach went nowhere.
            taskbar->setState(taskbarState(bridge_->desktopState()));
            lastPermille_ = -1;
            updateTaskbarProgress();
        },
        Qt::SingleShotConnection);
    QObject::connect(bridge_, &ui::MediaSessionBridge::stateChanged, window, [this] {
        if (taskbar_)
            taskbar_->setState(taskbarState(bridge_->desktopState()));
    });
    QObject::connect(bridge_, &ui::MediaSessionBridge::clockUsChanged, window, [this] { updateTaskbarProgress(); });
    QObject::connect(bridge_, &ui::MediaSessionBridge::sessionChanged, window, [this] { lastPermille_ = -1; });
}

void Application::forwardSmtcButton(ui::Actions& actions, platform::Smtc::Button button)
{
    using Button = platform::Smtc::Button;
    // Play and Pause keep their meaning; only the desktop's own toggle request toggles.
    switch (button) {
    case Button::Play:
        actions.trigger(QStringLiteral("playback.play"), QVariant());
        break;
    case Button::Pause:
        actions.trigger(QStringLiteral("playback.pause"), QVariant());
        break;
    case Button::PlayPause:
        actions.trigger(QStringLiteral("playback.toggle"), QVariant());
        break;
    case Button::Next:
        actions.trigger(QStringLiteral("playlist.next"), QVariant());
        break;
    case Button::Previous:
        actions.trigger(QStringLiteral("playlist.previous"), QVariant());
        break;
    case Button::Stop:
        actions.trigger(QStringLiteral("playback.stop"), QVariant());
        break;
    }
}

int Application::smtcStatus(int playerState)
{
    switch (playerState) {
    case State::Playing:
        return 2;
    case State::Paused:
        return 3;
    case State::Opening:
    case State::Prepared:
    case State::Ending:
    case State::Error:
        return 1;
    default:
        return 0;
    }
}

int Application::taskbarState(int playerState)
{
    switch (playerState) {
    case State::Opening:
        return 1;
    case State::Prepared:
    case State::Playing:
    case State::Ending:
        return 2;
    case State::Paused:
        return 3;
    case State::Error:
        return 4;
    default:
        return 0;
    }
}

int Application::progressPermille(qint64 clockUs, qint64 durationUs)
{
    if (durationUs <= 0)
        return -1;
    return static_cast<int>(clockUs * 1000 / durationUs);
}

void Application::refreshSmtc()
{
    if (!smtc_)
        return;
    // A seek's reopen closes and opens the medium: the desktop keeps what it showed before.
    smtc_->setStatus(smtcStatus(bridge_->desktopState()));
    const QString file = bridge_->currentFile();
    if (file.isEmpty())
        return;
    QString title = bridge_->mediaTitle();
    if (title.isEmpty())
        title = QFileInfo(file).completeBaseName();
    QString artist = bridge_->mediaArtist();
    if (artist.isEmpty())
        artist = QStringLiteral("Kestrune Media Player");
    smtc_->setMetadata(title.toStdString(), artist.toStdString());
}

void Application::updateTaskbarProgress()
{
    if (!taskbar_)
        return;
    const int permille = progressPermille(bridge_->desktopClockUs(), bridge_->durationUs());
    if (permille < 0 || permille == lastPermille_)
        return;
    lastPermille_ = permille;
    taskbar_->setProgress(static_cast<std::uint64_t>(std::max(permille, 0)), 1000);
}

void Application::scheduleStartEntries(const QStringList& files)
{
    if (!files.isEmpty()) {
        ui::Actions* actions = actions_;
        ui::MediaSessionBridge* bridge = bridge_;
        QTimer::singleShot(0, actions, [actions, bridge, files] {
            // Whoever started the player from a terminal learns there why a file of theirs did not open: the
            // window may not show it yet. Folders and playlists count with the entries they brought.
            auto started = std::make_shared<QSet<QString>>();
            for (const QString& entry : files)
                started->insert(ui::normalizeEntryPath(entry));
            QObject::connect(bridge, &ui::MediaSessionBridge::openFailed, actions,
                [started](const QString& entry, const QString& line) {
                    if (started->contains(entry))
                        traceLine(line.toUtf8().constData());
                });
            for (const QString& entry : files)
                actions->trigger(QStringLiteral("playlist.add"), entry);
            for (const QString& entry : bridge->playlist())
                started->insert(entry);
        });
        return;
    }
    // Files on the command line replace the remembered session; it is never restored on top of them.
    if (!bridge_->rememberPlaylist())
        return;
    const QStringList playlist = settings_->value(kPlaylistKey).toStringList();
    const int index = settings_->value(kIndexKey, -1).toInt();
    if (playlist.isEmpty())
        return;
    ui::MediaSessionBridge* bridge = bridge_;
    QTimer::singleShot(0, bridge, [bridge, playlist, index] { bridge->restorePlaylist(playlist, index); });
}

void Application::openReceivedFiles(const QStringList& files)
{
    for (const QString& entry : files)
        actions_->trigger(QStringLiteral("playlist.add"), entry);
    if (QQuickWindow* main = window()) {
        // Hidden while conversions finish in the background: the files would play unseen and the process would
        // quit under them once the queue is idle. Shown again, the window stops waiting for that.
        if (!main->isVisible())
            main->show();
        if (main->visibility() == QWindow::Minimized)
            main->setVisibility(QWindow::Windowed);
        main->raise();
        main->requestActivate();
    }
}

void Application::saveSessionOnQuit()
{
    bridge_->saveResumePosition();
    if (!bridge_->muted()) {
        // While casting the bridge reports the receiver's volume; what is remembered is this machine's.
        const double volume = bridge_->casting() ? double(session_->volume()) : bridge_->volume();
        settings_->setValue(kVolumeKey, volume);
    }
    if (bridge_->rememberPlaylist()) {
        settings_->setValue(kPlaylistKey, bridge_->playlist());
        settings_->setValue(kIndexKey, bridge_->playlistIndex());
    } else {
        settings_->remove(kPlaylistKey);
        settings_->remove(kIndexKey);
    }
    settings_->sync();
    transcodeQueue_->shutdown(true);
    // An open may still be running on the bridge's open thread: the bridge's stop abandons and joins it and
    // closes the medium under its engine lock. While casting no open runs here, and stopping would stop the
    // receiver, so the local medium is closed directly.
    if (bridge_->casting())
        session_->close();
    else
        bridge_->stop();
}

int runPlayer(SingleInstance* singleInstance, const QStringList& files, const QUrl& mainUrl)
{
    Application player(singleInstance);
    if (!player.start(files, mainUrl))
        return -1;
    const QMetaObject::Connection saving = QObject::connect(
        qApp, &QCoreApplication::aboutToQuit, qApp, [&player] { player.saveSessionOnQuit(); }, Qt::DirectConnection);
    QuitOnSignal quitOnSignal;
    const int result = QCoreApplication::exec();
    QObject::disconnect(saving);
    return result;
}

} // namespace kvr::app
