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

// The player, its window and playlist view once loaded, and the lists the operations fill it with.
struct Bench {
    explicit Bench(MediaSessionBridge& p)
        : player(p)
    {
    }

    MediaSessionBridge& player;
    QQuickWindow* window = nullptr;
    QObject* view = nullptr;
    // Set on the render thread when the scene graph renders there.
    std::atomic<bool> swapped { false };
    std::map<int, QStringList> lists;
};

// Settings, data and cache in the scratch folder, and no network discovery; before the application is built.
void useScratchEnvironment(const QTemporaryDir& scratch)
{
    for (const char* name : { "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME" })
        qputenv(name, scratch.path().toUtf8());
    qputenv("KESTRUNE_CAST_DISCOVERY", "off");
}

void writeBenchSettings()
{
    QCoreApplication::setOrganizationName(QStringLiteral("KestruneBench"));
    QCoreApplication::setApplicationName(QStringLiteral("PlaylistViewBench"));
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    QSettings settings;
    settings.setValue(QStringLiteral("cast/enabled"), false);
    settings.setValue(QStringLiteral("cast/discoverOnStart"), false);
    settings.setValue(QStringLiteral("ui/playlistVisible"), true);
    settings.setValue(QStringLiteral("ui/libraryVisible"), false);
}

// Selects entry at in the list when there is one (the window's selection is what Delete removes).
void selectEntry(Bench& bench, int at)
{
    if (bench.view)
        bench.view->setProperty("currentIndex", at);
}

int selectedEntry(const Bench& bench, int fallback)
{
    return bench.view ? bench.view->property("currentIndex").toInt() : fallback;
}

// The lambdas hold the bench by its address: it outlives the operations.
std::vector<Operation> makeOperations(Bench& bench)
{
    Bench* b = &bench;
    const QString extra = QStringLiteral("/home/listener/Music/Artist 1/Album 1 (2019)/99 - Added later.flac");
    return {
        { "fill", [](MediaSessionBridge& p, int) { p.clearPlaylist(); },
            [b](MediaSessionBridge& p, int n) { p.restorePlaylist(b->lists[n], -1); } },
        { "add", [b](MediaSessionBridge& p, int n) { p.restorePlaylist(b->lists[n], -1); },
            [extra](MediaSessionBridge& p, int) { p.enqueuePaths({ extra }); } },
        { "remove",
            [b](MediaSessionBridge& p, int n) {
                p.restorePlaylist(b->lists[n], -1);
                selectEntry(*b, n / 2);
            },
            [b](MediaSessionBridge& p, int n) { p.removeFromPlaylist(selectedEntry(*b, n / 2)); } },
        { "move", [b](MediaSessionBridge& p, int n) { p.restorePlaylist(b->lists[n], -1); },
            [](MediaSessionBridge& p, int n) { p.movePlaylistItem(0, n - 1); } },
        // The same entries with another current one: the list keeps its rows and only follows the mark.
        { "current", [b](MediaSessionBridge& p, int n) { p.restorePlaylist(b->lists[n], 0); },
            [b](MediaSessionBridge& p, int n) { p.restorePlaylist(b->lists[n], n - 10); } },
    };
}

std::string key(const Operation& op, int n)
{
    return std::string(op.name) + "_" + std::to_string(n);
}

// The anchor: each call on the player alone, median by operation and size.
std::map<std::string, double> timeAlone(Bench& bench, const std::vector<Operation>& operations)
{
    std::map<std::string, double> alone;
    for (int n : kSizes) {
        for (const Operation& op : operations) {
            std::vector<double> times;
            for (int r = 0; r < kRounds; ++r) {
                op.prepare(bench.player, n);
                QCoreApplication::processEvents();
                QElapsedTimer timer;
                timer.start();
                op.call(bench.player, n);
                times.push_back(double(timer.nsecsElapsed()) / 1e6);
            }
            alone[key(op, n)] = median(times);
        }
    }
    return alone;
}

// Runs the event loop until the next frame is on screen, or gives up after ten seconds.
bool nextFrame(Bench& bench)
{
    bench.swapped = false;
    bench.window->update();
    QElapsedTimer limit;
    limit.start();
    while (!bench.swapped && limit.elapsed() < 10000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    return bench.swapped.load();
}

// Loads the main window, finds its playlist view and shows it; false, with a line on stderr, when one fails.
bool showWindow(QQmlApplicationEngine& engine, Bench& bench)
{
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")));
    auto* window = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(engine.rootObjects()[0]);
    if (!window) {
        std::fprintf(stderr, "PlaylistViewBench: the main window does not load\n");
        return false;
    }
    bench.window = window;
    bench.view = window->findChild<QObject*>(QStringLiteral("playlistView"));
    if (!bench.view) {
        std::fprintf(stderr, "PlaylistViewBench: no playlist view\n");
        return false;
    }
    QObject::connect(
        window, &QQuickWindow::frameSwapped, window, [&bench] { bench.swapped = true; }, Qt::DirectConnection);
    window->show();
    if (!nextFrame(bench)) {
        std::fprintf(stderr, "PlaylistViewBench: the window shows no frame\n");
        return false;
    }
    return true;
}

// Each call timed until the next frame is on screen, printed beside the anchor; false when a frame never came.
bool timeShown(Bench& bench, const std::vector<Operation>& operations, std::map<std::string, double>& alone)
{
    for (int n : kSizes) {
        for (const Operation& op : operations) {
            std::vector<double> times;
            for (int r = 0; r < kRounds; ++r) {
                op.prepare(bench.player, n);
                nextFrame(bench);
                nextFrame(bench);
                QElapsedTimer timer;
                timer.start();
                op.call(bench.player, n);
                if (!nextFrame(bench)) {
                    std::fprintf(stderr, "PlaylistViewBench: no frame after %s\n", op.name);
                    return false;
                }
                times.push_back(double(timer.nsecsElapsed()) / 1e6);
            }
            const std::string name = key(op, n);
            const double shown = median(times);
            std::printf("playlist_view.%s: %.2f ms, bridge alone %.2f ms, ratio %.1f\n", name.c_str(), shown,
                alone[name], shown / std::max(alone[name], 0.001));
        }
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir scratch;
    if (!scratch.isValid())
        return 1;
    useScratchEnvironment(scratch);
    QGuiApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    writeBenchSettings();

    kvr::app::Application services(nullptr);
    QQmlApplicationEngine engine;
    services.createServices(engine);
    Bench bench(*services.bridge());
    bench.player.setRememberPlaylist(false);
    for (int n : kSizes)
        bench.lists[n] = entries(n, QStringLiteral("take"));
    const std::vector<Operation> operations = makeOperations(bench);

    std::map<std::string, double> alone = timeAlone(bench, operations);
    bench.player.clearPlaylist();
    if (!showWindow(engine, bench) || !timeShown(bench, operations, alone))
        return 1;
    bench.player.clearPlaylist();
    return 0;
}
