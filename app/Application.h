#pragma once

#include "platform/Smtc.h"

#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <memory>

class QQmlApplicationEngine;
class QQmlEngine;
class QQuickWindow;
class QSettings;

namespace kvr::engine {
class MediaSession;
}
namespace kvr::platform {
class TaskbarProgress;
}
namespace kvr::ui {
class Actions;
class MediaSessionBridge;
class PerformanceHud;
class TranscodeQueue;
class UpdateChecker;
namespace library {
class Library;
}
namespace cast {
class CastSession;
}
} // namespace kvr::ui

namespace kvr::app {

class SingleInstance;
class UiWatchdog;

// The player process after the single-instance election: creates every long-lived service, registers the
// named actions, loads the main window, hooks the desktop's media controls and launcher to it and takes it
// all down again in a fixed order. Everything runs on the GUI thread; nothing it creates has a Qt parent.
class Application {
public:
    // singleInstance (not owned, may be null) delivers the files later launches hand over.
    explicit Application(SingleInstance* singleInstance);
    // Deletes the statistics timer, the launcher progress, the media controls, the QML engine, the update
    // checker, the cast session, the library, the conversion queue, the watchdog, the hud, the actions, the
    // settings, the bridge and the session, in that order: each may still use the ones after it.
    ~Application();
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;

    // Creates the services and loads mainUrl. False when that yields no root object; then nothing else (window
    // hooks, queued files, restored session, statistics) was set up. files are playlist entries (toPathOrUrl);
    // without any, a remembered playlist is restored.
    bool start(const QStringList& files, const QUrl& mainUrl);

    // Creates the long-lived services and gives them to qmlEngine's root context as the windows see them (Player,
    // Actions, Hud, Converter, Library, Cast, Updates, AppDirUrl and the image providers). start calls it; the
    // QML test bench calls it alone, with its own engine and no main window. Call it once; qmlEngine must be
    // gone, or no longer run QML, before this object is deleted.
    void createServices(QQmlEngine& qmlEngine);

    // At quit: resume position, volume, the session's playlist, the conversion jobs, and the medium.
    void saveSessionOnQuit();

    // Queues files handed over by a later launch and brings the window to the front, showing it again when it
    // was hidden.
    void openReceivedFiles(const QStringList& files);

    engine::MediaSession* session() const { return session_; }
    ui::MediaSessionBridge* bridge() const { return bridge_; }
    ui::Actions* actions() const { return actions_; }
    QQmlApplicationEngine* qmlEngine() const { return engine_; }
    // The main window, or null when the root object is not a window.
    QQuickWindow* window() const;
    QTimer* statisticsTimer() const { return statisticsTimer_; }

    // What a button of the media controls asks for, as a named action.
    static void forwardSmtcButton(ui::Actions& actions, platform::Smtc::Button button);
    // The player's state as the media controls' status and as the launcher's progress state.
    static int smtcStatus(int playerState);
    static int taskbarState(int playerState);
    // Thousandths of the duration played, truncated; -1 for a duration of 0 or less (nothing to show).
    static int progressPermille(qint64 clockUs, qint64 durationUs);

private:
    void registerPlayerActions();
    void registerCastActions();
    void hookWindow(QQuickWindow* window);
    // Arms the services' start-up work (the library's, the receivers' discovery) with their own delays.
    void startBackgroundWork();
    void refreshSmtc();
    void updateTaskbarProgress();
    void scheduleStartEntries(const QStringList& files);

    SingleInstance* const singleInstance_;
    engine::MediaSession* session_ = nullptr;
    ui::MediaSessionBridge* bridge_ = nullptr;
    QSettings* settings_ = nullptr;
    ui::Actions* actions_ = nullptr;
    ui::PerformanceHud* hud_ = nullptr;
    UiWatchdog* watchdog_ = nullptr;
    ui::TranscodeQueue* transcodeQueue_ = nullptr;
    ui::library::Library* library_ = nullptr;
    ui::cast::CastSession* cast_ = nullptr;
    ui::UpdateChecker* updates_ = nullptr;
    QQmlApplicationEngine* engine_ = nullptr;
    platform::Smtc* smtc_ = nullptr;
    platform::TaskbarProgress* taskbar_ = nullptr;
    // The launcher's last value; -1 after a new medium so that its first position is always sent.
    int lastPermille_ = -1;
    QTimer* statisticsTimer_ = nullptr;
};

// Runs the player: start, event loop, teardown. Returns the event loop's result, or -1 when the main
// component could not be loaded.
int runPlayer(SingleInstance* singleInstance, const QStringList& files, const QUrl& mainUrl);

} // namespace kvr::app
