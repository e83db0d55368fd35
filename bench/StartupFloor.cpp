// The start-up floor the player's start is set beside: the least a window playing the clip needs, a bare
// QQuickWindow of the main window's size holding one VideoSink fed by a MediaSession through the bridge, nothing
// else loaded. It logs the sink's first picture to the same log file as the player. Started by
// kvr_bench_startup; ends on SIGTERM.
#include "engine/Logging.h"
#include "engine/MediaSession.h"
#include "ui/bridge/MediaSessionBridge.h"
#include "ui/video/VideoSink.h"

#include <QGuiApplication>
#include <QQuickItem>
#include <QQuickWindow>
#include <QTimer>

#include <clocale>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <media file>\n", argv[0]);
        return 1;
    }
    kvr::engine::init_logging();
    QGuiApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");

    kvr::engine::MediaSession session;
    kvr::ui::MediaSessionBridge bridge;
    bridge.setSession(&session);

    QQuickWindow window;
    window.resize(1280, 720);
    kvr::ui::VideoSink sink(window.contentItem());
    sink.setSize(window.size());
    sink.setBridge(&bridge);
    window.show();

    // As the player does with the files it was started with: added once the event loop runs.
    const QString file = QString::fromLocal8Bit(argv[1]);
    QTimer::singleShot(0, &bridge, [&bridge, file] { bridge.addToPlaylist(file); });
    const int result = QGuiApplication::exec();
    bridge.stop();
    return result;
}
