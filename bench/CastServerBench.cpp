// The cast media server's throughput beside nginx serving the same 256 MiB file on the same machine, both
// loaded by the same wrk command, and the worst lateness of a 10 ms timer on the server's (GUI) thread while
// the cast server serves: the server shares that thread with the whole interface.

#include "ui/cast/CastServer.h"

#include <QCoreApplication>
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

#include <algorithm>
#include <cstdio>

using kvr::ui::cast::CastServer;

namespace {

constexpr qint64 kFileBytes = 256LL * 1024 * 1024;
const QStringList kWrkArguments = { QStringLiteral("-t2"), QStringLiteral("-c8"), QStringLiteral("-d10s") };

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

// wrk against the URL; the event loop keeps running meanwhile. Negative on failure.
double runWrk(const QString& url)
{
    QProcess wrk;
    wrk.start(QStringLiteral("wrk"), kWrkArguments + QStringList { url });
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

// nginx with everything in the prefix, serving root on 127.0.0.1:port; negative when it does not come up.
double nginxRate(const QString& prefix, const QString& root, const QString& path)
{
    const quint16 port = freeLoopbackPort();
    QDir().mkpath(prefix + QStringLiteral("/temp"));
    QFile conf(prefix + QStringLiteral("/nginx.conf"));
    if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -1;
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

    QProcess nginx;
    nginx.start(QStringLiteral("nginx"),
        { QStringLiteral("-p"), prefix, QStringLiteral("-c"), conf.fileName(), QStringLiteral("-e"),
            prefix + QStringLiteral("/error.log") });
    if (!nginx.waitForStarted()) {
        std::fprintf(stderr, "nginx did not start\n");
        return -1;
    }
    // Up once it accepts a connection.
    bool up = false;
    for (QElapsedTimer waited; !up && waited.elapsed() < 10000 && nginx.state() == QProcess::Running;) {
        QTcpSocket probe;
        probe.connectToHost(QHostAddress::LocalHost, port);
        up = probe.waitForConnected(200);
        if (!up)
            QThread::msleep(50);
    }
    double rate = -1;
    if (up)
        rate = runWrk(QStringLiteral("http://127.0.0.1:%1%2").arg(port).arg(path));
    else
        std::fprintf(stderr, "nginx is not up; see %s/error.log\n", qPrintable(prefix));
    nginx.terminate(); // SIGTERM to its PID
    if (!nginx.waitForFinished(10000)) {
        nginx.kill();
        nginx.waitForFinished();
    }
    return rate;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString scratch
        = QDir::tempPath() + QStringLiteral("/kvr-cast-bench-") + QString::number(QCoreApplication::applicationPid());
    QDir().mkpath(scratch + QStringLiteral("/www"));

    // The file, written once in pieces; served by both.
    const QString file = scratch + QStringLiteral("/media.mp4");
    {
        QFile out(file);
        if (!out.open(QIODevice::WriteOnly)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(file));
            return 1;
        }
        QByteArray piece(1024 * 1024, Qt::Uninitialized);
        for (qint64 i = 0; i < piece.size(); ++i)
            piece[i] = char(i * 131 + i / 977);
        for (qint64 written = 0; written < kFileBytes; written += piece.size())
            out.write(piece);
    }

    CastServer server;
    QString error;
    if (!server.start(QHostAddress(QStringLiteral("127.0.0.1")), &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const QUrl url = server.publishFile(file, QString());

    // How late the GUI thread's 10 ms timer fires while the server serves.
    qint64 worstLateNs = 0;
    QElapsedTimer sinceTick;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    tick.setInterval(10);
    QObject::connect(&tick, &QTimer::timeout, [&] {
        worstLateNs = std::max(worstLateNs, sinceTick.nsecsElapsed() - 10'000'000);
        sinceTick.start();
    });
    // The same timer on an idle loop first: on a busy machine the scheduler alone makes it late.
    sinceTick.start();
    tick.start();
    {
        QEventLoop idle;
        QTimer::singleShot(3000, &idle, &QEventLoop::quit);
        idle.exec();
    }
    const qint64 idleWorstLateNs = worstLateNs;
    worstLateNs = 0;
    const double ours = runWrk(url.toString());
    tick.stop();
    server.clear();

    // nginx serves the same file under the same path.
    const QString root = scratch + QStringLiteral("/www");
    const QString path = url.path();
    QDir().mkpath(root + path.section(QLatin1Char('/'), 0, -2));
    QFile::link(file, root + path);
    const double theirs = nginxRate(scratch + QStringLiteral("/nginx"), root, path);

    QDir(scratch).removeRecursively();
    if (ours < 0 || theirs < 0)
        return 1;
    std::printf("cast_server: %.1f MB/s\n", ours);
    std::printf("nginx: %.1f MB/s\n", theirs);
    std::printf("cast_server_to_nginx: %.3f x\n", ours / std::max(theirs, 1e-9));
    std::printf("gui_timer_worst_lateness: %.1f ms\n", double(worstLateNs) / 1e6);
    std::printf("gui_timer_worst_lateness_idle: %.1f ms\n", double(idleWorstLateNs) / 1e6);
    return 0;
}
