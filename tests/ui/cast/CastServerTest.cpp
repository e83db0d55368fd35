#include "tests/support/TestSupport.h"
#include "ui/cast/CastServer.h"

#include <QRegularExpression>
#include <QTcpSocket>
#include <QTest>

#include <gtest/gtest.h>

#include <dirent.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>
#include <set>
#include <vector>

using kvr::ui::cast::CastServer;
using kvr::ui::cast::GrowingFile;

namespace {

constexpr int kWaitMs = 20000;

bool isToken(const QString& text)
{
    static const QRegularExpression pattern(QStringLiteral("^[0-9a-f]{32}$"));
    return pattern.match(text).hasMatch();
}

// The token of a published URL: the first path segment.
QString tokenOf(const QUrl& url)
{
    return url.path().section(QLatin1Char('/'), 1, 1);
}

// A client connected to the server and accepted by it.
std::unique_ptr<QTcpSocket> connectClient(CastServer& server, int expectedConnections)
{
    auto client = std::make_unique<QTcpSocket>();
    client->connectToHost(server.listenAddress(), server.port());
    EXPECT_TRUE(QTest::qWaitFor([&] { return server.connectionCount() == expectedConnections; }, kWaitMs))
        << "connections: " << server.connectionCount();
    return client;
}

// The lowest descriptor limit that leaves exactly `free` numbers unused below it.
int limitLeavingFree(int free)
{
    std::set<int> open;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (const dirent* item = readdir(dir)) {
            if (item->d_name[0] != '.')
                open.insert(std::atoi(item->d_name));
        }
        closedir(dir); // its own descriptor is free again, and counted as free below
    }
    int number = 0;
    for (int found = 0;; ++number) {
        if (open.count(number) == 0 && ++found == free)
            return number + 1;
    }
}

// The listening socket bound to 127.0.0.1:port, found among this process's descriptors; -1 if none.
int listeningDescriptor(quint16 port)
{
    for (int fd = 0; fd < 4096; ++fd) {
        int listening = 0;
        socklen_t size = sizeof(listening);
        sockaddr_in bound {};
        socklen_t boundSize = sizeof(bound);
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &size) == 0 && listening
            && getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &boundSize) == 0 && bound.sin_family == AF_INET
            && ntohs(bound.sin_port) == port)
            return fd;
    }
    return -1;
}

// An accept has failed for want of descriptors: a connection waits in the listening socket's queue and no
// descriptor is left to take it with.
bool acceptStuck(int listener)
{
    tcp_info info {};
    socklen_t size = sizeof(info);
    if (getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &size) != 0 || info.tcpi_unacked == 0)
        return false; // for a listening socket, tcpi_unacked is the length of its accept queue
    const int probe = ::dup(listener);
    if (probe >= 0) {
        ::close(probe);
        return false;
    }
    return errno == EMFILE;
}

} // namespace

TEST(CastServer, MimeTypeTable)
{
    const std::pair<const char*, const char*> rows[] = {
        { "a.mp4", "video/mp4" },
        { "a.m4v", "video/mp4" },
        { "a.mov", "video/quicktime" },
        { "a.mkv", "video/x-matroska" },
        { "a.webm", "video/webm" },
        { "a.avi", "video/x-msvideo" },
        { "a.ts", "video/mp2t" },
        { "a.m2ts", "video/mp2t" },
        { "a.mpg", "video/mpeg" },
        { "a.mpeg", "video/mpeg" },
        { "a.wmv", "video/x-ms-wmv" },
        { "a.flv", "video/x-flv" },
        { "a.mp3", "audio/mpeg" },
        { "a.m4a", "audio/mp4" },
        { "a.aac", "audio/aac" },
        { "a.flac", "audio/flac" },
        { "a.wav", "audio/wav" },
        { "a.ogg", "audio/ogg" },
        { "a.oga", "audio/ogg" },
        { "a.opus", "audio/ogg" },
        { "a.wma", "audio/x-ms-wma" },
        { "a.vtt", "text/vtt" },
        { "a.srt", "application/x-subrip" },
        // The suffix is lower-cased and is the text after the last dot only.
        { "/music/LOUD.FLAC", "audio/flac" },
        { "D:/Films/Trip.MKV", "video/x-matroska" },
        { "clip.tar.gz", "application/octet-stream" },
        { "README", "application/octet-stream" },
        { "", "application/octet-stream" },
    };
    for (const auto& [name, type] : rows)
        EXPECT_EQ(CastServer::mimeTypeForExtension(QString::fromUtf8(name)), QString::fromUtf8(type)) << name;
}

TEST(CastServer, PeerRule)
{
    const std::pair<const char*, bool> rows[] = {
        { "10.1.2.3", true },
        { "172.31.255.255", true },
        { "169.254.10.1", true },
        { "192.168.0.9", true },
        { "127.0.0.2", true },
        { "::ffff:192.168.1.2", true },
        { "172.32.0.1", false },
        { "172.15.255.255", false },
        { "8.8.8.8", false },
        { "203.0.113.2", false },
        { "::1", false },
        { "fe80::1", false },
    };
    for (const auto& [address, local] : rows)
        EXPECT_EQ(CastServer::isLocalAddress(QHostAddress(QString::fromLatin1(address))), local) << address;
}

TEST(CastServer, PublicationsGetFreshTokensAndUrls)
{
    CastServer server;
    ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("127.0.0.1"))));

    const QUrl film = server.publishFile(QStringLiteral("D:/Films/Trip.MKV"), QString());
    EXPECT_EQ(film.scheme(), "http");
    EXPECT_EQ(film.host(), "127.0.0.1");
    EXPECT_EQ(film.port(), server.port());
    EXPECT_TRUE(film.path().endsWith(QStringLiteral("/media.mkv"))) << film.toString().toStdString();
    const QString filmToken = tokenOf(film);
    EXPECT_TRUE(isToken(filmToken)) << filmToken.toStdString();
    EXPECT_EQ(server.entry(filmToken).mimeType, "video/x-matroska");
    EXPECT_EQ(server.entry(filmToken).path, "D:/Films/Trip.MKV");

    const QUrl again = server.publishFile(QStringLiteral("D:/Films/Trip.MKV"), QStringLiteral("video/webm"));
    EXPECT_TRUE(isToken(tokenOf(again)));
    EXPECT_NE(tokenOf(again), filmToken);
    EXPECT_TRUE(server.hasEntry(filmToken));
    EXPECT_EQ(server.entry(tokenOf(again)).mimeType, "video/webm") << "a given type is kept";

    const QUrl bare = server.publishFile(QStringLiteral("/media/recording"), QString());
    EXPECT_TRUE(bare.path().endsWith(QStringLiteral("/media."))) << bare.toString().toStdString();

    const QUrl subtitles = server.publishBytes("WEBVTT\n\n", QStringLiteral("text/vtt"), QStringLiteral("vtt"));
    EXPECT_TRUE(subtitles.path().endsWith(QStringLiteral("/media.vtt")));
    EXPECT_EQ(server.entry(tokenOf(subtitles)).body, "WEBVTT\n\n");

    auto growing = std::make_shared<GrowingFile>();
    growing->path = QStringLiteral("/tmp/kvr-cast-1/stream.ts");
    const QUrl live = server.publishGrowingFile(growing, QStringLiteral("video/mp2t"), QStringLiteral("ts"));
    const CastServer::Entry liveEntry = server.entry(tokenOf(live));
    EXPECT_EQ(liveEntry.path, growing->path);
    EXPECT_EQ(liveEntry.growing, growing);
    EXPECT_EQ(server.entryCount(), 5);
}

TEST(CastServer, StartChoosesTheLoopbackAndKeepsItsPort)
{
    CastServer server;
    QString error;
    ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("127.0.0.1")), &error)) << error.toStdString();
    EXPECT_TRUE(server.isListening());
    EXPECT_EQ(server.listenAddress(), QHostAddress(QStringLiteral("127.0.0.1")));
    const quint16 port = server.port();
    EXPECT_NE(port, 0);
    const QUrl url = server.publishFile(QStringLiteral("/films/a.mp4"), QString());
    auto client = connectClient(server, 1);

    ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("127.0.0.1")), &error));
    EXPECT_EQ(server.port(), port);
    EXPECT_EQ(server.mediaUrl(tokenOf(url), QStringLiteral("mp4")), url) << "earlier URLs stay valid";
    EXPECT_TRUE(server.hasEntry(tokenOf(url)));
    EXPECT_EQ(server.connectionCount(), 1);

    error.clear();
    EXPECT_FALSE(server.start(QHostAddress(QStringLiteral("8.8.8.8")), &error));
    EXPECT_EQ(error, "This computer has no address on the receiver's network (8.8.8.8)");
    EXPECT_TRUE(server.isListening()) << "a failed start changes nothing";
    EXPECT_EQ(server.listenAddress(), QHostAddress(QStringLiteral("127.0.0.1")));
    EXPECT_EQ(server.port(), port);
    EXPECT_EQ(server.entryCount(), 1);
    EXPECT_EQ(server.connectionCount(), 1);

    // A null error pointer is allowed, and a server that never listened stays so.
    CastServer idle;
    EXPECT_FALSE(idle.start(QHostAddress(QStringLiteral("8.8.8.8"))));
    EXPECT_FALSE(idle.isListening());
    EXPECT_TRUE(idle.listenAddress().isNull());
}

TEST(CastServer, ClearAbortsConnectionsAndKeepsListening)
{
    CastServer server;
    ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("127.0.0.1"))));
    const quint16 port = server.port();
    const QUrl url = server.publishBytes("body", QStringLiteral("text/plain"), QStringLiteral("txt"));
    auto first = connectClient(server, 1);
    auto second = connectClient(server, 2);

    server.clear();
    EXPECT_EQ(server.entryCount(), 0);
    EXPECT_FALSE(server.hasEntry(tokenOf(url)));
    EXPECT_EQ(server.connectionCount(), 0);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return first->state() == QAbstractSocket::UnconnectedState
                && second->state() == QAbstractSocket::UnconnectedState;
        },
        kWaitMs))
        << "both clients are cut off";

    EXPECT_TRUE(server.isListening());
    EXPECT_EQ(server.port(), port);
    auto third = connectClient(server, 1);
    EXPECT_EQ(third->state(), QAbstractSocket::ConnectedState);
}

TEST(CastServer, DestructorAbortsOpenConnections)
{
    auto server = std::make_unique<CastServer>();
    ASSERT_TRUE(server->start(QHostAddress(QStringLiteral("127.0.0.1"))));
    auto growing = std::make_shared<GrowingFile>();
    server->publishGrowingFile(growing, QStringLiteral("video/mp2t"), QStringLiteral("ts"));
    auto first = connectClient(*server, 1);
    auto second = connectClient(*server, 2);

    server.reset();
    EXPECT_EQ(growing.use_count(), 1) << "the server let go of the growing file";
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            return first->state() == QAbstractSocket::UnconnectedState
                && second->state() == QAbstractSocket::UnconnectedState;
        },
        kWaitMs));
    // Deferred deletions of the aborted sockets must find nothing dangling.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

// With no file descriptor left, accept fails and QTcpServer stops accepting; the server must resume on its own.
TEST(CastServer, AcceptResumesAfterRunningOutOfDescriptors)
{
    CastServer server;
    ASSERT_TRUE(server.start(QHostAddress(QStringLiteral("127.0.0.1"))));

    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(server.port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

    const int listener = listeningDescriptor(server.port());
    ASSERT_GE(listener, 0);

    // The clients' descriptors exist before the limit is lowered, so only the server's accepts run short.
    constexpr int kClients = 48;
    std::vector<int> clients;
    for (int i = 0; i < kClients; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_GE(fd, 0);
        clients.push_back(fd);
    }

    rlimit saved {};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit lowered = saved;
    lowered.rlim_cur = rlim_t(limitLeavingFree(3));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    // Depending on the Qt version a failed accept either pauses the server (acceptError) or is retried at
    // once; either way the connection stays queued and the server must take new ones once descriptors return.
    int connected = 0;
    bool failed = false;
    for (int fd : clients) {
        const int before = server.connectionCount();
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
            break; // the limit is restored below before anything is asserted
        ++connected;
        // Either the server accepts this one or its accept fails; wait for one of the two.
        const bool settled = QTest::qWaitFor(
            [&] {
                failed = server.acceptPauseCount() > 0 || acceptStuck(listener);
                return server.connectionCount() > before || failed;
            },
            kWaitMs);
        if (!settled || failed)
            break;
    }
    for (int fd : clients)
        ::close(fd);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(failed) << "no accept failed after " << connected << " connections";

    // The connection whose accept failed still waits in the backlog; it is taken, and dropped, on resume too.
    QTcpSocket client;
    client.connectToHost(server.listenAddress(), server.port());
    ASSERT_TRUE(QTest::qWaitFor([&] { return client.state() == QAbstractSocket::ConnectedState; }, kWaitMs));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            const auto sockets = server.connectionSockets();
            return std::any_of(sockets.begin(), sockets.end(),
                [&](QTcpSocket* socket) { return socket->peerPort() == client.localPort(); });
        },
        kWaitMs))
        << "accepting resumed";
}
