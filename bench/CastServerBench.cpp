// The cast media server's throughput beside nginx serving the same 256 MiB file on the same machine, both
// loaded by the same wrk command: whole-file requests and 1 MiB byte ranges, samples of the two sides
// interleaved, medians printed. Then the memory and the event loop after a burst of 20,000 short
// connections, and the same rows against the media server inside the running player (main window, cast
// session, its diagnostics shown in the cast window), with the worst stall of the GUI thread meanwhile.
// The server shares that thread with the whole interface. The player needs a display; run it where the tests
// run, e.g.
//   source scripts/test-services.sh && kvr_services_start && build/bench/kvr_bench_cast_server

#include "app/Application.h"
#include "ui/cast/CastServer.h"
#include "ui/cast/CastSession.h"

#include <QGuiApplication>
#include <QQmlApplicationEngine>
#include <QQmlContext>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QSettings>
#include <QTemporaryDir>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <thread>
#include <vector>

using kvr::ui::cast::CastServer;
using kvr::ui::cast::CastSession;

namespace {

constexpr qint64 kFileBytes = 256LL * 1024 * 1024;
const QStringList kWrkArguments = { QStringLiteral("-t2"), QStringLiteral("-c8"), QStringLiteral("-d5s") };
// Samples per side of each row, taken A B A B …
constexpr int kSamples = 3;
constexpr int kBurstConnections = 20000;
constexpr int kAfterBurstMs = 15000;

// Runs the event loop until the process ends; ends it by its PID after the deadline.
bool waitForEnd(QProcess& process, int ms)
{
    if (process.state() != QProcess::NotRunning) {
        QEventLoop loop;
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(ms, &loop, &QEventLoop::quit);
        loop.exec();
    }
    if (process.state() == QProcess::NotRunning)
        return true;
    process.kill();
    process.waitForFinished();
    return false;
}

// wrk's total "N requests in Ts, B read" as MB/s (10^6 bytes); negative when missing. The total has three
// significant figures and more, where its "Transfer/sec" line rounds to two decimals of a GB.
double transferRate(const QByteArray& wrkOutput)
{
    static const QRegularExpression pattern(
        QStringLiteral("requests in ([0-9.]+)(us|ms|s|m),\\s*([0-9.]+)([KMGT]?B) read"));
    const QRegularExpressionMatch match = pattern.match(QString::fromLatin1(wrkOutput));
    if (!match.hasMatch())
        return -1;
    double seconds = match.captured(1).toDouble();
    const QString timeUnit = match.captured(2);
    if (timeUnit == QLatin1String("us"))
        seconds /= 1e6;
    else if (timeUnit == QLatin1String("ms"))
        seconds /= 1e3;
    else if (timeUnit == QLatin1String("m"))
        seconds *= 60;
    double bytes = match.captured(3).toDouble();
    const QString unit = match.captured(4);
    const int power = unit == QLatin1String("KB") ? 1
        : unit == QLatin1String("MB")             ? 2
        : unit == QLatin1String("GB")             ? 3
        : unit == QLatin1String("TB")             ? 4
                                                  : 0;
    for (int i = 0; i < power; ++i)
        bytes *= 1024;
    return seconds > 0 ? bytes / seconds / 1e6 : -1;
}

// wrk against the URL, with extra arguments (a Range header); the event loop keeps running meanwhile.
// Negative on failure.
double runWrk(const QString& url, const QStringList& extra = {})
{
    QProcess wrk;
    wrk.start(QStringLiteral("wrk"), kWrkArguments + extra + QStringList { url });
    if (!waitForEnd(wrk, 60000) || wrk.exitCode() != 0) {
        std::fprintf(stderr, "wrk failed: %s\n", wrk.readAllStandardError().constData());
        return -1;
    }
    const QByteArray output = wrk.readAllStandardOutput();
    const double rate = transferRate(output);
    if (rate < 0)
        std::fprintf(stderr, "no transfer rate in wrk's output:\n%s\n", output.constData());
    return rate;
}

quint16 freeLoopbackPort()
{
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// nginx with everything in the prefix, serving root on 127.0.0.1; kept running for the whole program, so that
// its samples can be taken between ours.
struct Nginx {
    QProcess process;
    quint16 port = 0;

    bool start(const QString& prefix, const QString& root)
    {
        port = freeLoopbackPort();
        QDir().mkpath(prefix + QStringLiteral("/temp"));
        QFile conf(prefix + QStringLiteral("/nginx.conf"));
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        conf.write(QStringLiteral("daemon off;\n"
                                  "master_process off;\n"
                                  "worker_processes 1;\n"
                                  "pid %1/nginx.pid;\n"
                                  "error_log %1/error.log;\n"
                                  "events { worker_connections 256; }\n"
                                  "http {\n"
                                  "  access_log off;\n"
                                  "  sendfile on;\n"
                                  "  keepalive_timeout 0;\n"
                                  "  client_body_temp_path %1/temp/body;\n"
                                  "  proxy_temp_path %1/temp/proxy;\n"
                                  "  fastcgi_temp_path %1/temp/fastcgi;\n"
                                  "  uwsgi_temp_path %1/temp/uwsgi;\n"
                                  "  scgi_temp_path %1/temp/scgi;\n"
                                  "  types { video/mp4 mp4; }\n"
                                  "  server {\n"
                                  "    listen 127.0.0.1:%2;\n"
                                  "    root %3;\n"
                                  "  }\n"
                                  "}\n")
                       .arg(prefix, QString::number(port), root)
                       .toUtf8());
        conf.close();
        process.start(QStringLiteral("nginx"),
            { QStringLiteral("-p"), prefix, QStringLiteral("-c"), conf.fileName(), QStringLiteral("-e"),
                prefix + QStringLiteral("/error.log") });
        if (!process.waitForStarted()) {
            std::fprintf(stderr, "nginx did not start\n");
            return false;
        }
        // Up once it accepts a connection.
        for (QElapsedTimer waited; waited.elapsed() < 10000 && process.state() == QProcess::Running;) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(200))
                return true;
            QThread::msleep(50);
        }
        std::fprintf(stderr, "nginx is not up; see %s/error.log\n", qPrintable(prefix));
        return false;
    }
    QString url(const QString& path) const { return QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path); }
    ~Nginx()
    {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate(); // SIGTERM to its PID
        if (!process.waitForFinished(10000)) {
            process.kill();
            process.waitForFinished();
        }
    }
};

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? -1 : values[values.size() / 2];
}

// How late a precise 10 ms timer on this (the GUI) thread fires: the longest the loop was kept from running.
struct StallWatch {
    QTimer tick;
    QElapsedTimer since;
    qint64 worstNs = 0;

    StallWatch()
    {
        tick.setTimerType(Qt::PreciseTimer);
        tick.setInterval(10);
        QObject::connect(&tick, &QTimer::timeout, [this] {
            worstNs = std::max(worstNs, since.nsecsElapsed() - 10'000'000);
            since.start();
        });
    }
    void start()
    {
        worstNs = 0;
        since.start();
        tick.start();
    }
    double stopMs()
    {
        tick.stop();
        return double(worstNs) / 1e6;
    }
};

void runLoop(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLongLong() * sysconf(_SC_PAGESIZE) : -1;
}

const QStringList kRangeHeader = { QStringLiteral("-H"), QStringLiteral("Range: bytes=1048576-2097151") };

// One row: ours and nginx, kSamples each, interleaved; prints both medians and their ratio. The stall watch
// runs while ours is measured.
bool row(const char* name, const QString& ours, const QString& theirs, const QStringList& extra, StallWatch& watch,
    double* worstStallMs)
{
    std::vector<double> a;
    std::vector<double> b;
    for (int i = 0; i < kSamples; ++i) {
        watch.start();
        a.push_back(runWrk(ours, extra));
        *worstStallMs = std::max(*worstStallMs, watch.stopMs());
        b.push_back(runWrk(theirs, extra));
        if (a.back() < 0 || b.back() < 0)
            return false;
    }
    const double mine = median(a);
    const double nginx = median(b);
    std::printf("%s: %.1f MB/s\n", name, mine);
    std::printf("%s_nginx: %.1f MB/s\n", name, nginx);
    std::printf("%s_to_nginx: %.3f x\n", name, mine / std::max(nginx, 1e-9));
    std::fflush(stdout);
    return true;
}

// kBurstConnections short connections, each sending a request for an unknown token and leaving at once, from
// a thread of plain sockets, a few dozen at a time so that every one is accepted and answered; returns once
// the server has let go of all of them.
void burst(CastServer& server)
{
    std::atomic<bool> done { false };
    std::atomic<int> answered { 0 };
    const QMetaObject::Connection counting
        = QObject::connect(&server, &CastServer::requestServed, [&answered] { ++answered; });
    const quint16 port = server.port();
    std::thread clients([&] {
        for (int i = 0; i < kBurstConnections; ++i) {
            for (int waited = 0; i - answered > 32 && waited < 10000; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to {};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                const char request[] = "GET /x HTTP/1.1\r\n\r\n";
                (void)!::send(fd, request, sizeof request - 1, MSG_NOSIGNAL);
            }
            ::close(fd);
        }
        done = true;
    });
    while (!done || server.connectionCount() > 0)
        runLoop(10);
    clients.join();
    QObject::disconnect(counting);
    std::printf("burst_answered: %d\n", answered.load());
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// Settings, data, cache and runtime files in the scratch folder, and no network discovery; before the
// application is built.
void useScratchEnvironment(const QTemporaryDir& home)
{
    for (const char* name : { "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR" })
        qputenv(name, home.path().toUtf8());
    qputenv("KESTRUNE_CAST_DISCOVERY", "off");
}

void writeBenchSettings()
{
    QCoreApplication::setOrganizationName(QStringLiteral("KestruneBench"));
    QCoreApplication::setApplicationName(QStringLiteral("CastServerBench"));
    QQuickStyle::setStyle(QStringLiteral("Basic"));
    QSettings settings;
    settings.setValue(QStringLiteral("cast/enabled"), false);
    settings.setValue(QStringLiteral("cast/discoverOnStart"), false);
}

// The file, written once in pieces into scratch and linked into its www folder for nginx; served by all.
// Empty when it cannot be written.
QString writeMediaFile(const QString& scratch)
{
    QDir().mkpath(scratch + QStringLiteral("/www"));
    const QString file = scratch + QStringLiteral("/media.mp4");
    {
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return {};
        }
        QByteArray piece(1024 * 1024, Qt::Uninitialized);
        for (qint64 i = 0; i < piece.size(); ++i)
            piece[i] = char(i * 131 + i / 977);
        for (qint64 written = 0; written < kFileBytes; written += piece.size())
            out.write(piece);
    }
    QFile::link(file, scratch + QStringLiteral("/www/media.mp4"));
    return file;
}

// The memory and the event loop after a burst of short connections, and once the loop has run a while longer.
void burstRows(CastServer& server, StallWatch& watch)
{
    const double rssBefore = double(residentBytes()) / 1e6;
    watch.start();
    burst(server);
    const double rssAfter = double(residentBytes()) / 1e6;
    const double burstStall = watch.stopMs();
    watch.start();
    runLoop(kAfterBurstMs);
    const double laterStall = watch.stopMs();
    std::printf("burst_connections: %d\n", kBurstConnections);
    std::printf("burst_rss_before: %.1f MB\n", rssBefore);
    std::printf("burst_rss_after: %.1f MB\n", rssAfter);
    std::printf("burst_rss_15s_later: %.1f MB\n", double(residentBytes()) / 1e6);
    std::printf("burst_gui_worst_stall: %.1f ms\n", burstStall);
    std::printf("burst_gui_worst_stall_15s_after: %.1f ms\n", laterStall);
    std::fflush(stdout);
}

// The media server on its own: both rows against nginx, then the burst. False when a row or the start fails.
bool benchServerAlone(const QString& file, const QString& theirs, StallWatch& watch)
{
    CastServer server;
    QString error;
    if (!server.start(QHostAddress(QStringLiteral("127.0.0.1")), &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    const QString ours = server.publishFile(file, QString()).toString();
    double stall = 0;
    if (!row("cast_server", ours, theirs, {}, watch, &stall)
        || !row("cast_server_range_1mib", ours, theirs, kRangeHeader, watch, &stall))
        return false;
    std::printf("gui_timer_worst_lateness: %.1f ms\n", stall);
    burstRows(server, watch);
    return true;
}

// The media server inside the player: the main window up, the cast window open on the diagnostics that every
// request adds to. False when a part of the player is missing, the server does not start or a row fails.
bool benchInPlayer(const QString& file, const QString& theirs, StallWatch& watch)
{
    kvr::app::Application services(nullptr);
    QQmlApplicationEngine engine;
    services.createServices(engine);
    engine.load(QUrl(QStringLiteral("qrc:/qt/qml/Kestrune/MediaPlayer/Main.qml")));
    auto* window = engine.rootObjects().isEmpty() ? nullptr : qobject_cast<QQuickWindow*>(engine.rootObjects()[0]);
    auto* cast
        = qobject_cast<CastSession*>(engine.rootContext()->contextProperty(QStringLiteral("Cast")).value<QObject*>());
    QObject* castWindow = window ? window->findChild<QObject*>(QStringLiteral("castWindow")) : nullptr;
    if (!window || !cast || !castWindow) {
        std::fprintf(stderr, "CastServerBench: the player's window, cast session or cast window is missing\n");
        return false;
    }
    window->show();
    QMetaObject::invokeMethod(castWindow, "openWindow");
    runLoop(2000);
    QString error;
    if (!cast->server().start(QHostAddress(QStringLiteral("127.0.0.1")), &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return false;
    }
    const QString ours = cast->server().publishFile(file, QString()).toString();
    double stall = 0;
    if (!row("in_player", ours, theirs, {}, watch, &stall)
        || !row("in_player_range_1mib", ours, theirs, kRangeHeader, watch, &stall))
        return false;
    std::printf("in_player_diagnostics_lines: %lld\n", static_cast<long long>(cast->diagnostics().size()));
    std::printf("in_player_gui_worst_stall: %.1f ms\n", stall);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    useScratchEnvironment(home);
    QGuiApplication app(argc, argv);
    std::setlocale(LC_NUMERIC, "C");
    writeBenchSettings();

    const QString scratch = home.path() + QStringLiteral("/bench");
    const QString file = writeMediaFile(scratch);
    if (file.isEmpty())
        return 1;
    Nginx nginx;
    if (!nginx.start(scratch + QStringLiteral("/nginx"), scratch + QStringLiteral("/www")))
        return 1;
    const QString theirs = nginx.url(QStringLiteral("/media.mp4"));

    StallWatch watch;
    // The loop alone first: on a busy machine the scheduler alone makes the timer late.
    watch.start();
    runLoop(3000);
    std::printf("gui_timer_worst_lateness_idle: %.1f ms\n", watch.stopMs());

    if (!benchServerAlone(file, theirs, watch) || !benchInPlayer(file, theirs, watch))
        return 1;
    return 0;
}
