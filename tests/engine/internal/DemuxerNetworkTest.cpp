// The demuxer against a loopback HTTP server (127.0.0.1 only) that accepts and then stalls.
#include "engine/internal/Demuxer.h"

#include "engine/Logging.h"
#include "engine/PrivateDirectory.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

using namespace kvr::engine;
using namespace kvr::engine::internal;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// Answers every request with the first `sendBytes` of `body`, then either closes or keeps the connection open
// without sending anything more; with sendBytes 0 and no close it never answers at all. A stalling answer has
// no length, so FFmpeg does not try to seek in it; a complete one has its length and honours "Range".
class LoopbackHttpServer {
public:
    LoopbackHttpServer(std::string body, size_t sendBytes, bool closeAfter)
        : body(std::move(body))
        , sendBytes(sendBytes)
        , closeAfter(closeAfter)
    {
        listenFd = kvr::test::listenOnLoopback(port);
        if (listenFd < 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        thread = std::thread([this] { run(); });
    }
    ~LoopbackHttpServer()
    {
        stopping = true;
        thread.join();
        for (const auto& c : clients)
            ::close(c.fd);
        ::close(listenFd);
    }

    std::string url(const std::string& userInfo = "") const
    {
        return "http://" + userInfo + "127.0.0.1:" + std::to_string(port) + "/stream.ts";
    }

    int port = 0;
    std::atomic<int> connections { 0 };
    std::atomic<bool> sentEverything { false };

private:
    struct Client {
        int fd;
        std::string request;
        bool answered = false;
    };

    bool sendAll(int fd, const char* data, size_t size)
    {
        size_t done = 0;
        while (done < size && !stopping) {
            pollfd p { fd, POLLOUT, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += static_cast<size_t>(n);
        }
        return done == size;
    }

    void run()
    {
        while (!stopping) {
            std::vector<pollfd> fds { { listenFd, POLLIN, 0 } };
            for (const auto& c : clients)
                fds.push_back({ c.fd, POLLIN, 0 });
            if (::poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    clients.push_back({ fd, {}, false });
                    ++connections;
                }
            }
            for (size_t i = 1; i < fds.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                Client& c = clients[i - 1];
                char buf[4096];
                const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
                if (n <= 0) {
                    ::close(c.fd);
                    c.fd = -1;
                    continue;
                }
                c.request.append(buf, static_cast<size_t>(n));
                if (c.answered || c.request.find("\r\n\r\n") == std::string::npos)
                    continue;
                c.answered = true;
                if (sendBytes == 0 && !closeAfter)
                    continue; // stall before the answer
                size_t from = 0;
                std::string head = "HTTP/1.1 200 OK\r\n";
                if (closeAfter) {
                    const size_t range = c.request.find("Range: bytes=");
                    if (range != std::string::npos)
                        from = std::min<size_t>(std::stoull(c.request.substr(range + 13)), body.size());
                    if (from > 0)
                        head = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes " + std::to_string(from) + "-"
                            + std::to_string(body.size() - 1) + "/" + std::to_string(body.size()) + "\r\n";
                    head += "Content-Length: " + std::to_string(sendBytes - from) + "\r\n";
                }
                head += "Content-Type: video/MP2T\r\nConnection: close\r\n\r\n";
                if (sendAll(c.fd, head.data(), head.size()) && sendAll(c.fd, body.data() + from, sendBytes - from))
                    sentEverything = true;
                if (closeAfter) {
                    ::close(c.fd);
                    c.fd = -1;
                }
            }
            std::erase_if(clients, [](const Client& c) { return c.fd < 0; });
        }
    }

    std::string body;
    size_t sendBytes;
    bool closeAfter;
    int listenFd = -1;
    std::vector<Client> clients;
    std::atomic<bool> stopping { false };
    std::thread thread;
};

std::string tsFixture()
{
    return kvr::test::readFile(kvr::test::fixture("start-offset.ts"));
}

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

void drainOnThread(PacketQueue& q, std::thread& t)
{
    t = std::thread([&q] {
        AVPacket* p = nullptr;
        while (q.pop(p))
            av_packet_free(&p);
    });
}

} // namespace

TEST(Demuxer, AbortEndsABlockedOpen)
{
    LoopbackHttpServer server("", 0, false);
    std::atomic<bool> abort { false };
    Demuxer d;
    d.abortFlag = &abort;
    Clock::time_point raised;
    std::thread aborter([&] {
        std::this_thread::sleep_for(400ms);
        raised = Clock::now();
        abort = true;
    });
    EXPECT_FALSE(d.open(server.url(), 0, {}));
    const double late = secondsSince(raised);
    aborter.join();
    EXPECT_LT(late, 1.0);
    EXPECT_EQ(server.connections.load(), 1);
    EXPECT_EQ(d.lastError, "avformat_open_input: Immediate exit requested");
}

TEST(Demuxer, StalledOpenTimesOut)
{
    LoopbackHttpServer server("", 0, false);
    Demuxer d;
    d.networkTimeoutUs = 300000;
    const auto t0 = Clock::now();
    EXPECT_FALSE(d.open(server.url(), 0, {}));
    EXPECT_LT(secondsSince(t0), 5.0);
    EXPECT_NE(d.lastError.find("timed out"), std::string::npos) << d.lastError;
}

TEST(Demuxer, AbortOrStopEndsABlockedRead)
{
    const std::string body = tsFixture();
    for (const bool viaStop : { false, true }) {
        SCOPED_TRACE(viaStop ? "join" : "abort");
        LoopbackHttpServer server(body, body.size() * 6 / 10, false);
        std::atomic<bool> abort { false };
        Demuxer d;
        d.abortFlag = &abort;
        ASSERT_TRUE(d.open(server.url(), 0, {})) << d.lastError;
        EXPECT_EQ(d.mediaInfo.fileSize, -1);
        std::thread audio, video;
        drainOnThread(d.audioQueue, audio);
        drainOnThread(d.videoQueue, video);
        d.start(nullptr);
        for (int i = 0; i < 100 && !server.sentEverything; ++i)
            std::this_thread::sleep_for(10ms);
        std::this_thread::sleep_for(500ms);
        ASSERT_FALSE(d.finished); // blocked in a read that gets no data

        const auto t0 = Clock::now();
        if (viaStop) {
            d.join();
        } else {
            abort = true;
            while (!d.finished && secondsSince(t0) < 5.0)
                std::this_thread::sleep_for(5ms);
        }
        EXPECT_LT(secondsSince(t0), 1.0);
        EXPECT_TRUE(d.finished);
        d.join();
        audio.join();
        video.join();
    }
}

TEST(Demuxer, OpensHttpAndKeepsCredentialsOutOfTheLog)
{
    init_logging();
    const std::string body = tsFixture();
    LoopbackHttpServer server(body, body.size(), true);
    Demuxer d;
    // The scheme as a user may type it.
    std::string address = server.url("u:secret@");
    address.replace(0, 4, "HTTP");
    ASSERT_TRUE(d.open(address, 0, {})) << d.lastError;
    EXPECT_EQ(d.mediaInfo.fileSize, -1);
    EXPECT_EQ(d.mediaInfo.formatName, "mpegts");
    std::thread audio, video;
    drainOnThread(d.audioQueue, audio);
    drainOnThread(d.videoQueue, video);
    d.start(nullptr);
    audio.join();
    video.join();
    EXPECT_TRUE(d.finished);
    const std::string log = kvr::test::readFile(privateDirectory() / "kvr.log");
    EXPECT_EQ(log.find("secret"), std::string::npos) << log;
    EXPECT_NE(log.find("Demuxer: opened 'HTTP://***@127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("Demuxer: EOF"), std::string::npos) << log;
}

TEST(Demuxer, RefusesAddressesOutsideTheStreamSchemes)
{
    // A free loopback port: if the listening address reached FFmpeg it would bind it and wait for a caller.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(probe, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    socklen_t len = sizeof addr;
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    ::close(probe);

    const std::string clip = kvr::test::fixture("clip.mp4").string();
    const std::string refused[] = {
        "tcp://127.0.0.1:" + std::to_string(port) + "?listen=1",
        "concat:" + clip + "|" + clip,
        "subfile,,start,0,end,1000,,:" + clip,
        "crypto:" + clip,
        "pipe:0",
        "unix:/nonexistent",
        "data:video/mp4;base64,AAAA",
        "gopher://127.0.0.1:1/",
        ":" + clip,
    };
    for (const auto& address : refused) {
        SCOPED_TRACE(address);
        Demuxer d;
        const auto t0 = Clock::now();
        EXPECT_FALSE(d.open(address, 0, {}));
        EXPECT_LT(secondsSince(t0), 0.5);
        EXPECT_EQ(d.lastError, "avformat_open_input: Protocol not found");
    }
    // Nothing is listening on the port now.
    int check = ::socket(AF_INET, SOCK_STREAM, 0);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    EXPECT_EQ(::bind(check, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ::close(check);

    // Local files, also as "file:" addresses, still open.
    Demuxer local;
    EXPECT_TRUE(local.open("file:" + clip, 0, {})) << local.lastError;
}
