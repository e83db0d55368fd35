#include "tests/support/TestSupport.h"
#include "ui/cast/ByteRange.h"
#include "ui/cast/CastServer.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>

#include <QtCore/private/qhooks_p.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using kvr::ui::cast::ByteRange;
using kvr::ui::cast::CastServer;
using kvr::ui::cast::GrowingFile;
using kvr::ui::cast::resolveByteRange;

namespace {

constexpr int kWaitMs = 60000;

const QByteArray kServerLine = "Server: KestruneMediaPlayer/1.0 UPnP/1.0 DLNADOC/1.50";
const QByteArray kOp01 = "DLNA.ORG_OP=01;DLNA.ORG_CI=0;DLNA.ORG_FLAGS=01700000000000000000000000000000";
const QByteArray kOp00 = "DLNA.ORG_OP=00;DLNA.ORG_CI=1;DLNA.ORG_FLAGS=01700000000000000000000000000000";

// Bytes that never spell a status line, so a second response would show.
QByteArray pattern(qint64 size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (qint64 i = 0; i < size; ++i)
        bytes[i] = char((i * 7 + i / 251) & 0xff);
    return bytes;
}

QString writeFile(const QString& name, const QByteArray& bytes)
{
    const QString path = QString::fromStdString(kvr::test::scratchDirectory().string()) + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size())
        ADD_FAILURE() << "cannot write " << path.toStdString();
    return path;
}

struct Reply {
    int exitCode = -1;
    QByteArray head; // without the blank line
    QByteArray body;
};

// Runs the event loop, and so the server, until the condition holds or the time is up. Not QTest::qWaitFor,
// which sleeps between its rounds and would throttle every transfer and delay every accept.
template <typename Condition> bool eventually(Condition condition, int ms = kWaitMs)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
    return condition();
}

// Waits for a started program to end; kills it when it does not.
bool waitForEnd(QProcess& process)
{
    if (eventually([&] { return process.state() == QProcess::NotRunning; }))
        return true;
    process.kill();
    process.waitForFinished();
    ADD_FAILURE() << process.program().toStdString() << " did not end";
    return false;
}

// Runs a program to its end and returns its output.
QByteArray runProgram(const QString& program, const QStringList& arguments, int* exitCode = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    waitForEnd(process);
    if (exitCode)
        *exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return process.readAllStandardOutput();
}

// curl with the head included in its output; extra arguments go before the URL.
Reply curl(const QUrl& url, const QStringList& extra = {})
{
    Reply reply;
    const QByteArray out = runProgram(QStringLiteral("curl"),
        QStringList { QStringLiteral("-sS"), QStringLiteral("-i"), QStringLiteral("--http1.1") } + extra
            + QStringList { url.toString() },
        &reply.exitCode);
    const qsizetype end = out.indexOf("\r\n\r\n");
    reply.head = end < 0 ? out : out.left(end);
    reply.body = end < 0 ? QByteArray() : out.mid(end + 4);
    return reply;
}

// The head of a 200 or 206 answer, line by line.
QByteArray mediaHead(int status, qint64 start, qint64 last, qint64 size, const QByteArray& mime = "video/mp4")
{
    QByteArrayList lines;
    lines << (status == 206 ? "HTTP/1.1 206 Partial Content" : "HTTP/1.1 200 OK");
    lines << "Content-Type: " + mime;
    if (size >= 0)
        lines << "Content-Length: " + QByteArray::number(last - start + 1);
    if (size >= 0 && status == 206)
        lines << "Content-Range: bytes " + QByteArray::number(start) + '-' + QByteArray::number(last) + '/'
                + QByteArray::number(size);
    lines << (size >= 1 ? "Accept-Ranges: bytes" : "Accept-Ranges: none");
    lines << "Access-Control-Allow-Origin: *";
    lines << "transferMode.dlna.org: Streaming";
    lines << "contentFeatures.dlna.org: " + (size >= 1 ? kOp01 : kOp00);
    lines << "Cache-Control: no-cache"
          << "Connection: close" << kServerLine;
    return lines.join("\r\n");
}

QByteArray statusHead(int code, const char* reason)
{
    return "HTTP/1.1 " + QByteArray::number(code) + ' ' + reason + "\r\nContent-Length: 0\r\nConnection: close";
}

// A server on 127.0.0.1 that records its log lines.
struct Served {
    CastServer server;
    QStringList log;

    Served()
    {
        EXPECT_TRUE(server.start(QHostAddress(QStringLiteral("127.0.0.1"))));
        QObject::connect(&server, &CastServer::requestServed, [this](const QString& line) { log << line; });
    }
    QUrl url(const QUrl& published, const QString& path) const
    {
        QUrl other = published;
        other.setPath(path);
        return other;
    }
};

// A raw exchange: sends the bytes, returns all that comes back once the server closes.
QByteArray exchange(CastServer& server, const QByteArray& request, bool* closed = nullptr)
{
    QTcpSocket client;
    client.connectToHost(server.listenAddress(), server.port());
    if (!client.waitForConnected(kWaitMs))
        ADD_FAILURE() << "no connection";
    client.write(request);
    QByteArray received;
    const bool ended = eventually(
        [&] {
            received += client.readAll();
            return client.state() == QAbstractSocket::UnconnectedState;
        },
        kWaitMs);
    received += client.readAll();
    if (closed)
        *closed = ended;
    return received;
}

// Crowd tests open hundreds of sockets: the soft limit on open files is raised for the test and put back after.
struct RaisedFileLimit {
    rlimit saved {};
    bool raised = false;
    RaisedFileLimit()
    {
        if (getrlimit(RLIMIT_NOFILE, &saved) != 0)
            return;
        rlimit limit = saved;
        limit.rlim_cur = std::min<rlim_t>(1024, limit.rlim_max);
        raised = setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    ~RaisedFileLimit()
    {
        if (raised)
            setrlimit(RLIMIT_NOFILE, &saved);
    }
};

} // namespace

TEST(CastServerHttp, RangeResolution)
{
    struct Row {
        const char* header;
        qint64 size;
        bool growing;
        qint64 written;
        qint64 start;
        qint64 lastByte;
        bool partial;
        bool unsatisfiable;
        bool waits;
    };
    const Row rows[] = {
        // A final 1000-byte resource.
        { "", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=0-", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=0-499", 1000, false, 0, 0, 499, true, false, false },
        { "bytes=500-", 1000, false, 0, 500, 999, true, false, false },
        { "bytes=500-5000", 1000, false, 0, 500, 999, true, false, false },
        { "bytes=-200", 1000, false, 0, 800, 999, true, false, false },
        { "bytes=-5000", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=999-", 1000, false, 0, 999, 999, true, false, false },
        { "bytes=1000-", 1000, false, 0, 1000, 999, false, true, false },
        { "bytes=0-9,20-29", 1000, false, 0, 0, 9, true, false, false },
        { "bytes=500", 1000, false, 0, 0, 999, false, false, false },
        { "items=0-9", 1000, false, 0, 0, 999, false, false, false },
        { "Bytes=0-9", 1000, false, 0, 0, 999, false, false, false },
        // An end before the start is invalid: the header is ignored.
        { "bytes=500-100", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=1500-1200", 1000, false, 0, 0, 999, false, false, false },
        // Numbers a peer may send to make the arithmetic run over: a suffix that is negative or no number is no
        // range; other numbers that are none read as 0; ends past any size are the resource's end.
        { "bytes=--9223372036854775808", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=-9223372036854775807", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=-99999999999999999999", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=-abc", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=abc-def", 1000, false, 0, 0, 0, true, false, false },
        { "bytes=-0", 1000, false, 0, 1000, 999, false, true, false },
        { "bytes=5-3", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=0-9999999999999", 1000, false, 0, 0, 999, false, false, false },
        { "bytes=9223372036854775807-", 1000, false, 0, 0, 0, false, true, false },
        { "bytes=0-9223372036854775807", -1, true, 100, 0, 9223372036854775806, false, false, false },
        { "bytes=9223372036854775807-", -1, true, 100, 9223372036854775807, -1, true, false, true },
        { "bytes=--9223372036854775808", -1, true, 100, 0, -1, false, false, false },
        // An empty resource: nothing to announce, whatever the end; a start past it is still unsatisfiable.
        { "", 0, false, 0, 0, -1, false, false, false },
        { "bytes=0-10", 0, false, 0, 0, -1, false, false, false },
        { "bytes=-5", 0, false, 0, 0, -1, false, false, false },
        { "bytes=0-", 0, false, 0, 0, -1, false, false, false },
        { "bytes=5-", 0, false, 0, 5, -1, false, true, false },
        // An unfinished growing file: unknown size, the start may lie ahead of what is written.
        { "", -1, true, 100, 0, -1, false, false, false },
        { "bytes=4096-", -1, true, 100, 4096, -1, true, false, true },
        { "bytes=50-", -1, true, 100, 50, -1, true, false, false },
        { "bytes=0-499", -1, true, 100, 0, 499, false, false, false },
        { "bytes=4096-100", -1, true, 100, 0, -1, false, false, false },
        // A finished growing file is a file of its written size.
        { "bytes=600-", 600, true, 600, 600, 599, false, true, false },
        { "bytes=100-199", 600, true, 600, 100, 199, true, false, false },
    };
    for (const Row& row : rows) {
        const ByteRange range = resolveByteRange(row.header, row.size, row.growing, row.written);
        SCOPED_TRACE(std::string(row.header) + " size " + std::to_string(row.size));
        EXPECT_EQ(range.unsatisfiable, row.unsatisfiable);
        if (row.unsatisfiable)
            continue;
        EXPECT_EQ(range.start, row.start);
        EXPECT_EQ(range.lastByte, row.lastByte);
        EXPECT_EQ(range.partial, row.partial);
        EXPECT_EQ(range.waits, row.waits);
    }
}

TEST(CastServerHttp, RangesOfAFile)
{
    Served served;
    const QByteArray bytes = pattern(1000);
    const QUrl url = served.server.publishFile(writeFile(QStringLiteral("thousand.mp4"), bytes), QString());
    struct Row {
        const char* range;
        int status;
        qint64 start;
        qint64 last;
    };
    const Row rows[] = {
        { nullptr, 200, 0, 999 },
        { "bytes=0-", 200, 0, 999 },
        { "bytes=0-499", 206, 0, 499 },
        { "bytes=500-", 206, 500, 999 },
        { "bytes=500-5000", 206, 500, 999 },
        { "bytes=-200", 206, 800, 999 },
        { "bytes=-5000", 200, 0, 999 },
        { "bytes=1000-", 416, 0, 0 },
        { "bytes=0-9,20-29", 206, 0, 9 },
        { "bytes=500", 200, 0, 999 },
        { "items=0-9", 200, 0, 999 },
        { "bytes=500-100", 200, 0, 999 },
        { "bytes=--9223372036854775808", 200, 0, 999 },
        { "bytes=-abc", 200, 0, 999 },
        { "bytes=abc-def", 206, 0, 0 },
        { "bytes=-0", 416, 0, 0 },
        { "bytes=5-3", 200, 0, 999 },
        { "bytes=0-9999999999999", 200, 0, 999 },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.range ? row.range : "no range");
        served.log.clear();
        QStringList extra;
        if (row.range)
            extra << QStringLiteral("-H") << QStringLiteral("Range: %1").arg(QLatin1String(row.range));
        const Reply reply = curl(url, extra);
        EXPECT_EQ(reply.exitCode, 0);
        if (row.status == 416) {
            EXPECT_EQ(reply.head,
                "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */1000\r\nContent-Length: 0\r\n"
                "Connection: close");
            EXPECT_TRUE(reply.body.isEmpty());
            EXPECT_TRUE(served.log.isEmpty()) << served.log.join(QLatin1Char('|')).toStdString();
            continue;
        }
        EXPECT_EQ(reply.head, mediaHead(row.status, row.start, row.last, 1000));
        EXPECT_EQ(reply.body, bytes.mid(row.start, row.last - row.start + 1));
        const QString expected = row.status == 206
            ? QStringLiteral("GET media.mp4 127.0.0.1 -> 206 (bytes %1-%2)").arg(row.start).arg(row.last)
            : QStringLiteral("GET media.mp4 127.0.0.1 -> 200");
        EXPECT_EQ(served.log, QStringList { expected });
    }

    // Two Range headers: the later one counts.
    const Reply twice = curl(url,
        { QStringLiteral("-H"), QStringLiteral("Range: bytes=0-9"), QStringLiteral("-H"),
            QStringLiteral("Range: bytes=10-19") });
    EXPECT_EQ(twice.head, mediaHead(206, 10, 19, 1000));
    EXPECT_EQ(twice.body, bytes.mid(10, 10));

    // HEAD: the same head and no body.
    served.log.clear();
    const Reply head = curl(url, { QStringLiteral("-I"), QStringLiteral("-H"), QStringLiteral("Range: bytes=0-499") });
    EXPECT_EQ(head.head, mediaHead(206, 0, 499, 1000));
    EXPECT_TRUE(head.body.isEmpty());
    EXPECT_EQ(served.log, QStringList { QStringLiteral("HEAD media.mp4 127.0.0.1 -> 206 (bytes 0-499)") });
}

TEST(CastServerHttp, OtherResources)
{
    Served served;
    const QUrl empty = served.server.publishFile(writeFile(QStringLiteral("empty.mp4"), {}), QString());
    for (const char* range : { "", "bytes=0-10", "bytes=-5" }) {
        SCOPED_TRACE(range);
        const Reply reply
            = curl(empty, { QStringLiteral("-H"), QStringLiteral("Range: %1").arg(QLatin1String(range)) });
        EXPECT_EQ(reply.head, mediaHead(200, 0, -1, 0));
        EXPECT_TRUE(reply.body.isEmpty());
    }

    const QByteArray cues = "WEBVTT\n\n00:00.000 --> 00:01.000\nHello\n";
    const QUrl vtt = served.server.publishBytes(cues, QStringLiteral("text/vtt"), QStringLiteral("vtt"));
    const QByteArray vttHead
        = "HTTP/1.1 200 OK\r\nContent-Type: text/vtt\r\nContent-Length: " + QByteArray::number(cues.size())
        + "\r\nAccept-Ranges: bytes\r\nAccess-Control-Allow-Origin: *\r\ntransferMode.dlna.org: Interactive\r\n";
    const QByteArray tail = "Cache-Control: no-cache\r\nConnection: close\r\n" + kServerLine;
    Reply reply = curl(vtt);
    EXPECT_EQ(reply.head, vttHead + tail);
    EXPECT_EQ(reply.body, cues);
    reply = curl(vtt, { QStringLiteral("-H"), QStringLiteral("getcontentFeatures.dlna.org: 1") });
    EXPECT_EQ(reply.head, vttHead + "contentFeatures.dlna.org: " + kOp01 + "\r\n" + tail);

    // Only the token selects: a bare token, or any other file name, is served with the entry's type.
    const QString token = vtt.path().section(QLatin1Char('/'), 1, 1);
    for (const QString& path : { QLatin1Char('/') + token, QLatin1Char('/') + token + QStringLiteral("/x.bin") }) {
        reply = curl(served.url(vtt, path));
        EXPECT_EQ(reply.head, vttHead + tail) << path.toStdString();
        EXPECT_EQ(reply.body, cues);
    }

    // A finished growing file is a file of its written size.
    const QByteArray bytes = pattern(600);
    auto finished = std::make_shared<GrowingFile>();
    finished->path = writeFile(QStringLiteral("finished.ts"), bytes);
    finished->addWritten(600);
    finished->finish(false);
    const QUrl done = served.server.publishGrowingFile(finished, QStringLiteral("video/mp4"), QStringLiteral("ts"));
    reply = curl(done, { QStringLiteral("-H"), QStringLiteral("Range: bytes=100-199") });
    EXPECT_EQ(reply.head, mediaHead(206, 100, 199, 600));
    EXPECT_EQ(reply.body, bytes.mid(100, 100));
}

TEST(CastServerHttp, RequestsAndRefusals)
{
    Served served;
    const QUrl url = served.server.publishFile(writeFile(QStringLiteral("small.mp4"), pattern(100)), QString());
    const QByteArray target = url.path().toLatin1();

    // The preflight, even for an unknown token, and without a log line.
    const QByteArray preflight = "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: *\r\n"
                                 "Access-Control-Allow-Methods: GET, HEAD, OPTIONS\r\n"
                                 "Access-Control-Allow-Headers: Range, Content-Type\r\nContent-Length: 0\r\n"
                                 "Connection: close\r\n\r\n";
    EXPECT_EQ(
        exchange(served.server, "OPTIONS /0123456789abcdef0123456789abcdef/media.mp4 HTTP/1.1\r\n\r\n"), preflight);
    EXPECT_TRUE(served.log.isEmpty());

    auto missing = std::make_shared<GrowingFile>();
    missing->path = QStringLiteral("/nonexistent/kvr/stream.ts");
    const QUrl unopenable
        = served.server.publishGrowingFile(missing, QStringLiteral("video/mp2t"), QStringLiteral("ts"));
    const QUrl gone = served.server.publishFile(QStringLiteral("/nonexistent/kvr/film.mp4"), QString());

    struct Row {
        QByteArray request;
        QByteArray answer;
        QString log;
    };
    const QString absolute = url.toString();
    const Row rows[] = {
        { "get " + target + " HTTP/1.1\r\n\r\n", statusHead(405, "Method Not Allowed"), "get 127.0.0.1 -> 405" },
        { "POST " + target + " HTTP/1.1\r\n\r\n", statusHead(405, "Method Not Allowed"), "POST 127.0.0.1 -> 405" },
        { "\r\n\r\n", statusHead(405, "Method Not Allowed"), " 127.0.0.1 -> 405" },
        { "GET\r\n\r\n", statusHead(404, "Not Found"), "GET 127.0.0.1 -> 404" },
        { "GET " + absolute.toLatin1() + " HTTP/1.1\r\n\r\n", statusHead(404, "Not Found"), "GET 127.0.0.1 -> 404" },
        { "GET /../etc/passwd HTTP/1.1\r\n\r\n", statusHead(404, "Not Found"), "GET 127.0.0.1 -> 404" },
        { "GET /etc/passwd HTTP/1.1\r\n\r\n", statusHead(404, "Not Found"), "GET 127.0.0.1 -> 404" },
        { "GET /" + CastServer::newToken().toLatin1() + "/media.mp4 HTTP/1.1\r\n\r\n", statusHead(404, "Not Found"),
            "GET 127.0.0.1 -> 404" },
        { "GET " + gone.path().toLatin1() + " HTTP/1.1\r\n\r\n", statusHead(404, "Not Found"), "GET 127.0.0.1 -> 404" },
        { "HEAD " + unopenable.path().toLatin1() + " HTTP/1.1\r\n\r\n", statusHead(503, "Service Unavailable"),
            "HEAD 127.0.0.1 -> 503" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request.toStdString());
        served.log.clear();
        bool closed = false;
        EXPECT_EQ(exchange(served.server, row.request, &closed), row.answer + "\r\n\r\n");
        EXPECT_TRUE(closed);
        EXPECT_EQ(served.log, QStringList { row.log });
    }

    // After clear, every earlier URL is gone.
    served.server.clear();
    EXPECT_EQ(
        exchange(served.server, "GET " + target + " HTTP/1.1\r\n\r\n"), statusHead(404, "Not Found") + "\r\n\r\n");
}

TEST(CastServerHttp, HeadLimitsAndSecondRequests)
{
    Served served;
    const QByteArray bytes = pattern(100);
    const QUrl url = served.server.publishFile(writeFile(QStringLiteral("head.mp4"), bytes), QString());
    const QByteArray line = "GET " + url.path().toLatin1() + " HTTP/1.1\r\nX-Pad: ";
    const auto padded = [&](qsizetype total) { return line + QByteArray(total - line.size() - 4, 'a') + "\r\n\r\n"; };
    const QByteArray ok = mediaHead(200, 0, 99, 100) + "\r\n\r\n" + bytes;

    EXPECT_EQ(exchange(served.server, padded(16384)), ok) << "a head of exactly 16384 bytes is answered";
    bool closed = false;
    EXPECT_EQ(exchange(served.server, padded(16385), &closed), QByteArray()) << "one byte more aborts";
    EXPECT_TRUE(closed);

    // A second request on the connection is ignored.
    const QByteArray request = "GET " + url.path().toLatin1() + " HTTP/1.1\r\n\r\n";
    EXPECT_EQ(exchange(served.server, request + request), ok);

    // A head in several pieces is answered when its blank line arrives; one in bare line feeds never is.
    QTcpSocket pieces;
    QTcpSocket bare;
    pieces.connectToHost(served.server.listenAddress(), served.server.port());
    bare.connectToHost(served.server.listenAddress(), served.server.port());
    ASSERT_TRUE(pieces.waitForConnected(kWaitMs));
    ASSERT_TRUE(bare.waitForConnected(kWaitMs));
    bare.write("GET " + url.path().toLatin1() + " HTTP/1.1\n\n");
    pieces.write(request.left(10));
    ASSERT_TRUE(eventually([&] { return pieces.bytesToWrite() == 0; }));
    QTest::qWait(50); // lets the first piece arrive on its own
    pieces.write(request.mid(10));
    QByteArray received;
    ASSERT_TRUE(eventually(
        [&] {
            received += pieces.readAll();
            return pieces.state() == QAbstractSocket::UnconnectedState;
        },
        kWaitMs));
    EXPECT_EQ(received + pieces.readAll(), ok);
    EXPECT_EQ(bare.bytesAvailable(), 0) << "the bare line feeds were sent before and are still unanswered";
    EXPECT_EQ(bare.state(), QAbstractSocket::ConnectedState);
    bare.write(QByteArray(16384, '\n'));
    EXPECT_TRUE(eventually([&] { return bare.state() == QAbstractSocket::UnconnectedState; }));
    EXPECT_EQ(bare.readAll(), QByteArray());
}

TEST(CastServerHttp, PeerLeavingMidTransferKeepsTheEntry)
{
    Served served;
    const QByteArray bytes = pattern(16 * 1024 * 1024);
    const QUrl url = served.server.publishFile(writeFile(QStringLiteral("big.mp4"), bytes), QString());
    {
        QTcpSocket client;
        client.setReadBufferSize(65536);
        client.connectToHost(served.server.listenAddress(), served.server.port());
        ASSERT_TRUE(client.waitForConnected(kWaitMs));
        client.write("GET " + url.path().toLatin1() + " HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(eventually([&] { return client.bytesAvailable() > 0; }));
        client.abort();
    }
    EXPECT_TRUE(eventually([&] { return served.server.connectionCount() == 0; }));
    const Reply reply = curl(url);
    EXPECT_EQ(reply.exitCode, 0);
    EXPECT_TRUE(reply.body == bytes) << "got " << reply.body.size() << " bytes";
}

TEST(CastServerHttp, FfmpegReadsAndSeeks)
{
    Served served;
    const QUrl url = served.server.publishFile(
        QString::fromStdString(kvr::test::fixture("thirty-seconds.mp4").string()), QString());
    int exitCode = -1;
    const QByteArray duration = runProgram(QStringLiteral("ffprobe"),
        { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-show_entries"),
            QStringLiteral("format=duration"), QStringLiteral("-of"), QStringLiteral("csv=p=0"), url.toString() },
        &exitCode);
    EXPECT_EQ(exitCode, 0);
    EXPECT_NEAR(duration.trimmed().toDouble(), 30.0, 0.2) << duration.toStdString();

    served.log.clear();
    runProgram(QStringLiteral("ffmpeg"),
        { QStringLiteral("-v"), QStringLiteral("error"), QStringLiteral("-ss"), QStringLiteral("2"),
            QStringLiteral("-i"), url.toString(), QStringLiteral("-frames:v"), QStringLiteral("1"),
            QStringLiteral("-f"), QStringLiteral("null"), QStringLiteral("-") },
        &exitCode);
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(served.log.filter(QStringLiteral("GET media.mp4 127.0.0.1 -> 206 (bytes ")).size() >= 1)
        << served.log.join(QLatin1Char('|')).toStdString();
}

// A writer thread appends to the file in pieces while curl reads it through the server.
TEST(CastServerHttp, GrowingFileStreamsAsItIsWritten)
{
    Served served;
    const QByteArray bytes = pattern(3 * 1024 * 1024 + 1234);

    const auto writeInPieces = [&bytes](std::shared_ptr<GrowingFile> growing, qint64 from) {
        return std::thread([growing, from, &bytes] {
            FILE* out = std::fopen(growing->path.toLocal8Bit().constData(), "ab");
            if (!out)
                return growing->finish(true);
            constexpr qint64 piece = 100000;
            for (qint64 at = from; at < bytes.size(); at += piece) {
                const qint64 n = std::min(piece, bytes.size() - at);
                std::fwrite(bytes.constData() + at, 1, size_t(n), out);
                std::fflush(out);
                growing->addWritten(n);
                std::this_thread::sleep_for(std::chrono::milliseconds(5)); // the pace of a live conversion
            }
            std::fclose(out);
            growing->finish(false);
        });
    };

    auto growing = std::make_shared<GrowingFile>();
    growing->path = writeFile(QStringLiteral("live.ts"), {});
    const QUrl url = served.server.publishGrowingFile(growing, QStringLiteral("video/mp2t"), QStringLiteral("ts"));
    QProcess client;
    client.start(QStringLiteral("curl"), { QStringLiteral("-sS"), QStringLiteral("-i"), url.toString() });
    ASSERT_TRUE(eventually([&] { return !served.log.isEmpty(); }));
    std::thread writer = writeInPieces(growing, 0);
    const bool ended = waitForEnd(client);
    writer.join();
    ASSERT_TRUE(ended);
    QByteArray out = client.readAllStandardOutput();
    EXPECT_EQ(client.exitCode(), 0);
    const qsizetype end = out.indexOf("\r\n\r\n");
    ASSERT_GT(end, 0);
    EXPECT_EQ(out.left(end), mediaHead(200, 0, 0, -1, "video/mp2t"));
    EXPECT_TRUE(out.mid(end + 4) == bytes) << "body of " << out.size() - end - 4 << " bytes";
    EXPECT_EQ(served.log, QStringList { QStringLiteral("GET media.ts 127.0.0.1 -> 200") });

    // A start beyond what is written waits for it.
    served.log.clear();
    auto later = std::make_shared<GrowingFile>();
    later->path = writeFile(QStringLiteral("later.ts"), bytes.left(1000));
    later->addWritten(1000);
    const QUrl laterUrl = served.server.publishGrowingFile(later, QStringLiteral("video/mp2t"), QStringLiteral("ts"));
    QProcess ranged;
    ranged.start(QStringLiteral("curl"),
        { QStringLiteral("-sS"), QStringLiteral("-i"), QStringLiteral("-H"), QStringLiteral("Range: bytes=4096-"),
            laterUrl.toString() });
    ASSERT_TRUE(eventually([&] { return !served.log.isEmpty(); }));
    EXPECT_EQ(served.log, QStringList { QStringLiteral("GET media.ts 127.0.0.1 -> 206 (bytes 4096--1)") });
    writer = writeInPieces(later, 1000);
    const bool rangedEnded = waitForEnd(ranged);
    writer.join();
    ASSERT_TRUE(rangedEnded);
    out = ranged.readAllStandardOutput();
    const qsizetype rangedEnd = out.indexOf("\r\n\r\n");
    ASSERT_GT(rangedEnd, 0);
    QByteArray expectedHead = mediaHead(200, 0, 0, -1, "video/mp2t");
    expectedHead.replace("HTTP/1.1 200 OK", "HTTP/1.1 206 Partial Content");
    EXPECT_EQ(out.left(rangedEnd), expectedHead);
    EXPECT_TRUE(out.mid(rangedEnd + 4) == bytes.mid(4096)) << "body of " << out.size() - rangedEnd - 4 << " bytes";
    EXPECT_TRUE(eventually([&] { return served.server.connectionCount() == 0; }));
}

// 200 peers at once from another process: half read slowly, a quarter never finish their head, a quarter leave
// after it. The server keeps to its limit, cuts the rest, and still serves a whole file afterwards.
TEST(CastServerHttp, Crowd)
{
    RaisedFileLimit files;
    ASSERT_TRUE(files.raised);

    constexpr int kHeadTimeoutMs = 2000;
    Served served;
    served.server.setHeadTimeout(kHeadTimeoutMs);
    const QByteArray bytes = pattern(64 * 1024 * 1024);
    const QUrl url = served.server.publishFile(writeFile(QStringLiteral("crowd.mp4"), bytes), QString());

    QProcess crowd;
    crowd.start(QStringLiteral("/usr/bin/python3"),
        { QStringLiteral(KVR_SOURCE_DIR "/tests/ui/cast/crowd-client.py"), QStringLiteral("127.0.0.1"),
            QString::number(url.port()), url.path(), QStringLiteral("200"), QString::number(kHeadTimeoutMs) });
    QByteArray report;
    ASSERT_TRUE(eventually(
        [&] {
            report += crowd.readAllStandardOutput();
            return report.contains('\n') || crowd.state() == QProcess::NotRunning;
        },
        120000))
        << "no report from the crowd";
    std::printf("crowd: %s", report.constData()); // connected failed reading cutAtOnce atTimeout other
    const QStringList figures = QString::fromLatin1(report.trimmed()).split(QLatin1Char(' '));
    // connected failed reading cutAtOnce unfinishedAtTimeout unfinishedOther
    ASSERT_EQ(figures.size(), 6) << report.toStdString() << crowd.readAllStandardError().toStdString();
    const int connected = figures[0].toInt();
    const int failed = figures[1].toInt();
    const int reading = figures[2].toInt();
    const int cutAtOnce = figures[3].toInt();
    const int unfinishedAtTimeout = figures[4].toInt();
    const int unfinishedOther = figures[5].toInt();
    EXPECT_EQ(connected, 200);
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(served.server.acceptPauseCount(), 0) << "no accept failed";
    EXPECT_LE(served.server.peakConnectionCount(), CastServer::kMaxConnections);
    EXPECT_GE(reading, 1);
    EXPECT_GE(cutAtOnce, 1) << "later peers are cut at once";
    EXPECT_GE(unfinishedAtTimeout, 1) << "unfinished heads are cut at the time-out";
    EXPECT_EQ(unfinishedOther, 0) << "every unfinished head was cut, at once or at the time-out";
    EXPECT_TRUE(eventually([&] { return served.server.connectionCount() == reading; }))
        << served.server.connectionCount() << " connections, " << reading << " readers";

    ASSERT_LT(served.server.connectionCount(), CastServer::kMaxConnections) << "no slot left for the fetch";
    const Reply reply = curl(url);
    EXPECT_EQ(reply.exitCode, 0);
    EXPECT_TRUE(reply.body == bytes) << "got " << reply.body.size() << " bytes";

    crowd.kill();
    crowd.waitForFinished();
    EXPECT_TRUE(eventually([&] { return served.server.connectionCount() == 0; }));
}

namespace {

// Runs the event loop, and so the server, for ms.
void spin(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// A connection to the server from source, an address of 127.0.0.0/8; null when it does not connect. The
// server may already have cut it again.
std::unique_ptr<QTcpSocket> connectFrom(const CastServer& server, const QString& source)
{
    auto socket = std::make_unique<QTcpSocket>();
    if (!socket->bind(QHostAddress(source)))
        ADD_FAILURE() << "cannot bind " << source.toStdString();
    bool connected = false;
    QObject::connect(socket.get(), &QTcpSocket::connected, [&connected] { connected = true; });
    socket->connectToHost(server.listenAddress(), server.port());
    const bool settled = eventually([&] { return connected || socket->state() == QAbstractSocket::UnconnectedState; });
    QObject::disconnect(socket.get(), &QTcpSocket::connected, nullptr, nullptr);
    if (!settled || !connected)
        return nullptr;
    return socket;
}

bool cut(QTcpSocket& socket)
{
    return eventually([&] { return socket.state() == QAbstractSocket::UnconnectedState; });
}

// A GET of bytes first..last from source; the whole answer once the server has closed.
QByteArray fetchRange(const CastServer& server, const QString& source, const QUrl& url, qint64 first, qint64 last)
{
    const std::unique_ptr<QTcpSocket> socket = connectFrom(server, source);
    if (!socket)
        return {};
    socket->write("GET " + url.path().toLatin1() + " HTTP/1.1\r\nRange: bytes=" + QByteArray::number(first) + '-'
        + QByteArray::number(last) + "\r\n\r\n");
    QByteArray received;
    eventually([&] {
        received += socket->readAll();
        return socket->state() == QAbstractSocket::UnconnectedState;
    });
    return received + socket->readAll();
}

} // namespace

// One address holds at most eight connections; a ninth is cut at once. Other addresses, and the receiver
// beyond eight, still get in.
TEST(CastServerHttp, PerPeerCap)
{
    CastServer server;
    ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("127.0.0.3"))));
    std::vector<std::unique_ptr<QTcpSocket>> held;
    for (int i = 0; i < CastServer::kMaxConnectionsPerPeer; ++i) {
        held.push_back(connectFrom(server, QStringLiteral("127.0.0.2")));
        ASSERT_TRUE(held.back());
    }
    ASSERT_TRUE(eventually([&] { return server.connectionCount() == CastServer::kMaxConnectionsPerPeer; }));
    const std::unique_ptr<QTcpSocket> ninth = connectFrom(server, QStringLiteral("127.0.0.2"));
    ASSERT_TRUE(ninth);
    EXPECT_TRUE(cut(*ninth)) << "the ninth connection of one address is cut";
    EXPECT_EQ(server.connectionCount(), CastServer::kMaxConnectionsPerPeer);
    for (const auto& socket : held)
        EXPECT_EQ(socket->state(), QAbstractSocket::ConnectedState);

    const std::unique_ptr<QTcpSocket> other = connectFrom(server, QStringLiteral("127.0.0.4"));
    ASSERT_TRUE(other);
    for (int i = 0; i < 12; ++i) {
        held.push_back(connectFrom(server, QStringLiteral("127.0.0.3")));
        ASSERT_TRUE(held.back());
    }
    EXPECT_TRUE(eventually([&] { return server.connectionCount() == CastServer::kMaxConnectionsPerPeer + 13; }));
    spin(200);
    EXPECT_EQ(other->state(), QAbstractSocket::ConnectedState);
    for (const auto& socket : held)
        EXPECT_EQ(socket->state(), QAbstractSocket::ConnectedState);
}

// With every slot taken by unfinished heads of strangers, the receiver still gets in: the oldest stranger
// goes. A stranger gets no slot, and the receiver's own connections and finished heads are never taken.
TEST(CastServerHttp, ReceiverTakesTheOldestUnfinishedStrangersSlot)
{
    CastServer server;
    ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("127.0.0.3"))));
    const QByteArray bytes = pattern(1000);
    const QUrl url = server.publishFile(writeFile(QStringLiteral("slots.mp4"), bytes), QString());
    // A stream still being written: a peer fetching it holds its connection while it waits.
    auto growing = std::make_shared<GrowingFile>();
    growing->path = writeFile(QStringLiteral("slots.ts"), {});
    const QUrl live = server.publishGrowingFile(growing, QStringLiteral("video/mp2t"), QStringLiteral("ts"));

    // One slot for the receiver, one for a stranger whose head is in (it waits for the stream), the rest
    // unfinished heads of strangers.
    std::vector<std::unique_ptr<QTcpSocket>> strangers;
    const std::unique_ptr<QTcpSocket> own = connectFrom(server, QStringLiteral("127.0.0.3"));
    ASSERT_TRUE(own);
    own->write("GET /");
    const std::unique_ptr<QTcpSocket> finished = connectFrom(server, QStringLiteral("127.0.1.200"));
    ASSERT_TRUE(finished);
    finished->write("GET " + live.path().toLatin1() + " HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(eventually([&] { return server.connectionCount() == 2; }));
    for (int i = 0; server.connectionCount() < CastServer::kMaxConnections; ++i) {
        strangers.push_back(connectFrom(server, QStringLiteral("127.0.1.%1").arg(1 + i / 8)));
        ASSERT_TRUE(strangers.back());
        strangers.back()->write("GET /");
        ASSERT_TRUE(eventually([&] { return server.connectionCount() == 3 + i; }));
    }

    const std::unique_ptr<QTcpSocket> late = connectFrom(server, QStringLiteral("127.0.1.100"));
    ASSERT_TRUE(late);
    EXPECT_TRUE(cut(*late)) << "a stranger gets no slot when all are taken";
    EXPECT_EQ(strangers.front()->state(), QAbstractSocket::ConnectedState);

    const QByteArray answer = fetchRange(server, QStringLiteral("127.0.0.3"), url, 100, 199);
    EXPECT_TRUE(answer.startsWith("HTTP/1.1 206 Partial Content\r\n")) << answer.left(200).toStdString();
    EXPECT_TRUE(answer.endsWith(bytes.mid(100, 100)));
    EXPECT_TRUE(cut(*strangers.front())) << "the oldest unfinished stranger made room";
    for (std::size_t i = 1; i < strangers.size(); ++i)
        EXPECT_EQ(strangers[i]->state(), QAbstractSocket::ConnectedState) << i;
    EXPECT_EQ(own->state(), QAbstractSocket::ConnectedState);
    EXPECT_EQ(finished->state(), QAbstractSocket::ConnectedState);
}

// Slow-loris crowds of 250 connections, sending their heads a byte a second and coming back when cut, from
// one address and from fifty: the receiver's range requests, one every quarter second, are all answered.
TEST(CastServerHttp, SlowCrowdCannotStarveTheReceiver)
{
    RaisedFileLimit files;
    ASSERT_TRUE(files.raised);

    struct Row {
        const char* name;
        int addresses;
    };
    for (const Row& row : { Row { "one address", 1 }, Row { "fifty addresses", 50 } }) {
        SCOPED_TRACE(row.name);
        CastServer server;
        ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("127.0.0.3"))));
        const QByteArray bytes = pattern(4 * 1024 * 1024);
        const QUrl url = server.publishFile(writeFile(QStringLiteral("loris.mp4"), bytes), QString());

        QStringList arguments { QStringLiteral(KVR_SOURCE_DIR "/tests/ui/cast/slow-crowd.py"),
            QStringLiteral("127.0.0.1"), QString::number(url.port()), url.path(), QStringLiteral("250") };
        for (int i = 0; i < row.addresses; ++i)
            arguments << (row.addresses == 1 ? QStringLiteral("127.0.0.2") : QStringLiteral("127.0.2.%1").arg(i + 1));
        QProcess crowd;
        crowd.start(QStringLiteral("/usr/bin/python3"), arguments);
        QByteArray out;
        ASSERT_TRUE(eventually([&] {
            out += crowd.readAllStandardOutput();
            return out.contains("ready\n") || crowd.state() == QProcess::NotRunning;
        })) << "the crowd never got going";
        ASSERT_TRUE(out.contains("ready\n")) << crowd.readAllStandardError().toStdString();
        const int filled = std::min(CastServer::kMaxConnections, row.addresses * CastServer::kMaxConnectionsPerPeer);
        ASSERT_TRUE(eventually([&] { return server.connectionCount() >= filled; }))
            << server.connectionCount() << " connections";

        constexpr int kRequests = 24;
        int answered = 0;
        for (int i = 0; i < kRequests; ++i) {
            const qint64 first = qint64(i) * 65536;
            const QByteArray answer = fetchRange(server, QStringLiteral("127.0.0.3"), url, first, first + 65535);
            if (answer.startsWith("HTTP/1.1 206 Partial Content\r\n") && answer.endsWith(bytes.mid(first, 65536)))
                ++answered;
            EXPECT_LE(server.connectionCount(), CastServer::kMaxConnections);
            spin(250);
        }
        EXPECT_EQ(answered, kRequests);
        EXPECT_LE(server.peakConnectionCount(), CastServer::kMaxConnections);

        crowd.closeWriteChannel();
        ASSERT_TRUE(waitForEnd(crowd));
        out += crowd.readAllStandardOutput();
        std::printf("%s: opened/cut %s", row.name, out.mid(out.indexOf("ready\n") + 6).constData());
    }
}

// Requester-chosen method and target reach the log escaped and cut; the answers stay as they were.
TEST(CastServerHttp, LoggedRequestTextIsEscapedAndCut)
{
    Served served;
    const QByteArray bytes = pattern(100);
    const QUrl url = served.server.publishFile(writeFile(QStringLiteral("log.mp4"), bytes), QString());
    const QByteArray token = url.path().section(QLatin1Char('/'), 1, 1).toLatin1();
    const QByteArray controls = QByteArray("a\x01\x1b[31m\x7f\\b\xc2\x85", 12) + QByteArray(500, 'x');

    struct Row {
        QByteArray request;
        QByteArray answer;
        QString method;
        QString target; // empty for a status line
    };
    const Row rows[] = {
        { QByteArray(1000, 'M') + " /" + token + "/media.mp4 HTTP/1.1\r\n\r\n", statusHead(405, "Method Not Allowed"),
            QString(199, QLatin1Char('M')) + QChar(0x2026), {} },
        { "GET /" + token + "/" + controls + " HTTP/1.1\r\n\r\n", mediaHead(200, 0, 99, 100), "GET",
            QStringLiteral("a\\x01\\x1b[31m\\x7f\\\\b") + QChar(0xc2) + QStringLiteral("\\x85")
                + QString(174, QLatin1Char('x')) + QChar(0x2026) },
        { "GET /" + token + "/../../etc/passwd HTTP/1.1\r\n\r\n", mediaHead(200, 0, 99, 100), "GET",
            "../../etc/passwd" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.request.left(80).toStdString());
        served.log.clear();
        const QByteArray answer = exchange(served.server, row.request);
        EXPECT_TRUE(answer.startsWith(row.answer + "\r\n\r\n")) << answer.left(300).toStdString();
        ASSERT_EQ(served.log.size(), 1);
        const QString expected = row.target.isNull()
            ? QStringLiteral("%1 127.0.0.1 -> 405").arg(row.method)
            : QStringLiteral("%1 %2 127.0.0.1 -> 200").arg(row.method, row.target);
        EXPECT_EQ(served.log.first(), expected);
        for (const QString& field : served.log.first().split(QLatin1Char(' ')))
            EXPECT_LE(field.size(), CastServer::kMaxLoggedField);
    }
}

namespace {

// Every QObject made and destroyed while the hooks are in, through Qt's own object hooks.
std::atomic<int> objectsMade { 0 };
std::atomic<int> objectsGone { 0 };

struct ObjectCount {
    quintptr saved[2];
    ObjectCount()
    {
        saved[0] = qtHookData[QHooks::AddQObject];
        saved[1] = qtHookData[QHooks::RemoveQObject];
        objectsMade = 0;
        objectsGone = 0;
        qtHookData[QHooks::AddQObject] = reinterpret_cast<quintptr>(+[](QObject*) { ++objectsMade; });
        qtHookData[QHooks::RemoveQObject] = reinterpret_cast<quintptr>(+[](QObject*) { ++objectsGone; });
    }
    ~ObjectCount()
    {
        qtHookData[QHooks::AddQObject] = saved[0];
        qtHookData[QHooks::RemoveQObject] = saved[1];
    }
    int alive() const { return objectsMade - objectsGone; }
};

} // namespace

// A burst of short connections: once their sockets are gone, nothing they made lives on (a head timer left
// running its full time-out per connection grew memory and stalled the loop when they all fired).
TEST(CastServerHttp, ShortConnectionsLeaveNoTimersBehind)
{
    Served served;
    const quint16 port = served.server.port();
    // Whatever Qt makes lazily on a first connection is made before counting.
    exchange(served.server, "GET /x HTTP/1.1\r\n\r\n");
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    served.log.clear();

    constexpr int kConnections = 400;
    const ObjectCount count;
    // Plain sockets on a thread of their own: the clients make no QObjects. A few at a time, so that all of
    // them find a slot.
    std::atomic<int> sent { 0 };
    std::atomic<int> logged { 0 };
    std::atomic<bool> done { false };
    QObject::connect(&served.server, &CastServer::requestServed, [&logged] { ++logged; });
    std::thread clients([&] {
        for (int i = 0; i < kConnections; ++i) {
            for (int waited = 0; sent - logged > 16 && waited < kWaitMs; ++waited)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in to {};
            to.sin_family = AF_INET;
            to.sin_port = htons(port);
            to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                const char request[] = "GET /x HTTP/1.1\r\n\r\n";
                if (::send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == ssize_t(sizeof request - 1))
                    ++sent;
            }
            ::close(fd);
        }
        done = true;
    });
    const bool answered = eventually([&] { return done && served.log.size() >= sent; });
    clients.join();
    EXPECT_TRUE(answered) << served.log.size() << " of " << sent << " answered";
    EXPECT_EQ(sent, kConnections);
    EXPECT_TRUE(eventually([&] { return served.server.connectionCount() == 0; }));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_GT(objectsMade, kConnections) << "every socket counts";
    EXPECT_LE(count.alive(), 8) << "objects still alive after " << kConnections << " connections have gone";
}
