// What the playlist panel costs the GUI thread with a long queue: the main window with the real player,
// filled with 10,000 and then 50,000 entries of realistic length (the files need not exist), timed from each
// call until the next frame is on screen. The anchor is the same call on the player with no window loaded,
// in the same run. Figures only. Run it where the tests run, e.g.
//   source scripts/test-services.sh && kvr_services_start && build/bench/kvr_bench_playlist_view
#include "app/Application.h"
#include "ui/bridge/MediaSessionBridge.h"

#include <QElapsedTimer>
#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlProperty>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

using kvr::ui::MediaSessionBridge;

namespace {

constexpr int kSizes[] = { 10000, 50000 };
constexpr int kRounds = 5;

QStringList entries(int count, const QString& tag)
{
    QStringList list;
    list.reserve(count);
    for (int i = 0; i < count; ++i)
        list.append(QStringLiteral("/home/listener/Music/Artist %1/Album %2 (2019)/%3 - Track %4 %5.flac")
                        .arg(i % 97)
                        .arg(i % 13)
                        .arg(i % 20 + 1, 2, 10, QLatin1Char('0'))
                        .arg(i)
                        .arg(tag));
    return list;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// The operations, each a single call on the player; prepare (untimed) sets the state the call starts from.
struct Operation {
    const char* name;
    std::function<void(MediaSessionBridge&, int)> prepare;
    std::function<void(MediaSessionBridge&, int)> call;
};

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return 1;
    for (const char* name : { "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME" })
        qputenv(name, scratch.path().toUtf8());
    qputenv("KESTRUNE_CAST_DISCOVERY", "off");
    QGuiApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    QCoreApplication::setOrganizationName(QStringLiteral("KestruneBench"));
    QCoreApplication::setApplicationName(QStringLiteral("PlaylistViewBench"));
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    {
        QSettings settings;
        settings.setValue(QStringLiteral("cast/enabled"), false);
        settings.setValue(QStringLiteral("cast/discoverOnStart"), false);
        settings.setValue(QStringLiteral("ui/playlistVisible"), true);
        settings.setValue(QStringLiteral("ui/libraryVisible"), false);
    }

    kvr::app::Application services(nullptr);
    QQmlApplicationEngine engine;
    services.createServices(engine);
    MediaSessionBridge& player = *services.bridge();
    player.setRememberPlaylist(false);

    // Selects entry at in the list when there is one (the window's selection is what Delete removes).
    QObject* view = nullptr;
    const auto select = [&](int at) {
        if (view)
            view->setProperty("currentIndex", at);
    };
    const auto selected = [&](int fallback) { return view ? view->property("currentIndex").toInt() : fallback; };

    std::map<int, QStringList> lists;
    for (int n : kSizes)
        lists[n] = entries(n, QStringLiteral("take"));
    const QString extra = QStringLiteral("/home/listener/Music/Artist 1/Album 1 (2019)/99 - Added later.flac");
    const std::vector<Operation> operations = {
        { "fill", [&](MediaSessionBridge& p, int) { p.clearPlaylist(); },
            [&](MediaSessionBridge& p, int n) { p.restorePlaylist(lists[n], -1); } },
        { "add", [&](MediaSessionBridge& p, int n) { p.restorePlaylist(lists[n], -1); },
            [&](MediaSessionBridge& p, int) { p.enqueuePaths({ extra }); } },
        { "remove",
            [&](MediaSessionBridge& p, int n) {
                p.restorePlaylist(lists[n], -1);
                select(n / 2);
            },
            [&](MediaSessionBridge& p, int n) { p.removeFromPlaylist(selected(n / 2)); } },
        { "move", [&](MediaSessionBridge& p, int n) { p.restorePlaylist(lists[n], -1); },
            [&](MediaSessionBridge& p, int n) { p.movePlaylistItem(0, n - 1); } },
        // The same entries with another current one: the list keeps its rows and only follows the mark.
        { "current", [&](MediaSessionBridge& p, int n) { p.restorePlaylist(lists[n], 0); },
            [&](MediaSessionBridge& p, int n) { p.restorePlaylist(lists[n], n - 10); } },
    };

    // The anchor: each call on the player alone.
    std::map<std::string, double> alone;
    for (int n : kSizes) {
        for (const Operation& op : operations) {
            std::vector<double> times;
            for (int r = 0; r < kRounds; ++r) {
                op.prepare(player, n);
                QCoreApplication::processEvents();
                QElapsedTimer timer;
                timer.start();
                op.call(player, n);
                times.push_back(double(timer.nsecsElapsed()) / 1e6);
            }
            alone[std::string(op.name) + "_" + std::to_string(n)] = median(times);
        }
    }
    player.clearPlaylist();

    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")));
    auto* window = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(engine.rootObjects()[0]);
    if (!window) {
        std::fprintf(stderr, "PlaylistViewBench: the main window does not load\n");
        return 1;
    }
    view = window->findChild<QObject*>(QStringLiteral("playlistView"));
    if (!view) {
        std::fprintf(stderr, "PlaylistViewBench: no playlist view\n");
        return 1;
    }
    // Set on the render thread when the scene graph renders there.
    std::atomic<bool> swapped { false };
    QObject::connect(
        window, &QQuickWindow::frameSwapped, window, [&] { swapped = true; }, Qt::DirectConnection);
    // Runs the event loop until the next frame is on screen, or gives up after ten seconds.
    const auto nextFrame = [&] {
        swapped = false;
        window->update();
        QElapsedTimer limit;
        limit.start();
        while (!swapped && limit.elapsed() < 10000)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        return swapped.load();
    };
    window->show();
    if (!nextFrame()) {
        std::fprintf(stderr, "PlaylistViewBench: the window shows no frame\n");
        return 1;
    }

    for (int n : kSizes) {
        for (const Operation& op : operations) {
            std::vector<double> times;
            for (int r = 0; r < kRounds; ++r) {
                op.prepare(player, n);
                nextFrame();
                nextFrame();
                QElapsedTimer timer;
                timer.start();
                op.call(player, n);
                if (!nextFrame()) {
                    std::fprintf(stderr, "PlaylistViewBench: no frame after %s\n", op.name);
                    return 1;
                }
                times.push_back(double(timer.nsecsElapsed()) / 1e6);
            }
            const std::string key = std::string(op.name) + "_" + std::to_string(n);
            const double shown = median(times);
            std::printf("playlist_view.%s: %.2f ms, bridge alone %.2f ms, ratio %.1f\n", key.c_str(), shown, alone[key],
                shown / std::max(alone[key], 0.001));
        }
    }
    player.clearPlaylist();
    return 0;
}
