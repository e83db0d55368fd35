// How the demuxer reaches network addresses: through an HTTP proxy, as mms, and as a receiver (SRT listener,
// RTP, UDP) that waits for a sender. Every server and sender here is on 127.0.0.1 and belongs to the test.
#include "engine/internal/Demuxer.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

extern char** environ;

using namespace kvr::engine;
using namespace kvr::engine::internal;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

double secondsSince(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit)
{
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Takes one connection at a time, keeps the first thing the client says (an HTTP head up to its blank line,
// or the first bytes of a binary protocol), answers `reply` and hangs up.
class RecordingTcpServer {
public:
    explicit RecordingTcpServer(std::string reply)
        : reply(std::move(reply))
    {
        listenFd = kvr::test::listenOnLoopback(port);
        if (listenFd < 0)
            ADD_FAILURE() << "cannot listen on 127.0.0.1";
        thread = std::thread([this] { run(); });
    }
    ~RecordingTcpServer()
    {
        stopping = true;
        thread.join();
        ::close(listenFd);
    }

    std::vector<std::string> heard() const
    {
        std::lock_guard lock(mutex);
        return heard_;
    }

    int port = 0;

private:
    void run()
    {
        while (!stopping) {
            pollfd p { listenFd, POLLIN, 0 };
            if (::poll(&p, 1, 50) <= 0)
                continue;
            const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0)
                continue;
            std::string said;
            const auto end = Clock::now() + 5s;
            while (!stopping && Clock::now() < end && said.find("\r\n\r\n") == std::string::npos) {
                // A binary protocol's first message is not text: eight bytes of it are enough.
                if (said.size() >= 8 && !(said[0] >= 'A' && said[0] <= 'Z'))
                    break;
                pollfd c { fd, POLLIN, 0 };
                if (::poll(&c, 1, 50) <= 0)
                    continue;
                char buf[4096];
                const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                said.append(buf, static_cast<size_t>(n));
            }
            {
                std::lock_guard lock(mutex);
                heard_.push_back(said);
            }
            if (!reply.empty())
                ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
    }

    std::string reply;
    int listenFd = -1;
    mutable std::mutex mutex;
    std::vector<std::string> heard_;
    std::atomic<bool> stopping { false };
    std::thread thread;
};

// Sets an environment variable for the scope of one test, or removes it (value empty).
class ScopedEnv {
public:
    ScopedEnv(const char* name, const std::string& value)
        : name(name)
    {
        if (const char* old = std::getenv(name))
            previous = old;
        if (value.empty())
            ::unsetenv(name);
        else
            ::setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (previous)
            ::setenv(name, previous->c_str(), 1);
        else
            ::unsetenv(name);
    }

private:
    const char* name;
    std::optional<std::string> previous;
};

std::string firstLine(const std::string& text)
{
    return text.substr(0, text.find("\r\n"));
}

} // namespace

TEST(Demuxer, HttpAndHttpsAddressesGoThroughTheProxy)
{
    // Plain http sends its request to the proxy; https asks the proxy for a tunnel first (FFmpeg's TLS layer
    // does that through its "httpproxy" protocol). The proxy refuses either way: only the question counts.
    const int target = kvr::test::freeLoopbackPort(SOCK_STREAM);
    const std::string host = "127.0.0.1:" + std::to_string(target);
    struct Case {
        std::string address;
        std::string requestLine;
    };
    const Case cases[] = {
        { "http://" + host + "/clip.ts", "GET http://" + host + "/clip.ts HTTP/1.1" },
        { "https://" + host + "/clip.ts", "CONNECT " + host + " HTTP/1.1" },
        { "HTTPS://" + host + "/clip.ts", "CONNECT " + host + " HTTP/1.1" },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address);
        RecordingTcpServer proxy("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
        ScopedEnv viaProxy("http_proxy", "http://127.0.0.1:" + std::to_string(proxy.port) + "/");
        ScopedEnv noBypass("no_proxy", "");
        Demuxer d;
        d.networkTimeoutUs = 5'000'000;
        EXPECT_FALSE(d.open(c.address, 0, {}));
        const auto heard = proxy.heard();
        ASSERT_FALSE(heard.empty()) << d.lastError;
        EXPECT_EQ(firstLine(heard.front()), c.requestLine);
    }
}

TEST(Demuxer, MmsTriesMmsOverHttpThenOverTcp)
{
    // A server that hangs up on everything: the mms address is tried as MMS over HTTP, then as MMS over TCP,
    // both on the port it names.
    RecordingTcpServer server("");
    Demuxer d;
    d.networkTimeoutUs = 5'000'000;
    EXPECT_FALSE(d.open("MMS://127.0.0.1:" + std::to_string(server.port) + "/live", 0, {}));
    EXPECT_NE(d.lastError, "avformat_open_input: Protocol not found");
    const auto heard = server.heard();
    ASSERT_EQ(heard.size(), 2u) << d.lastError;
    EXPECT_EQ(firstLine(heard[0]), "GET /live HTTP/1.1");
    EXPECT_NE(heard[0].find("NSPlayer"), std::string::npos) << heard[0];
    // Every MMS-over-TCP message carries the signature 0xB00BFACE after its first four bytes.
    ASSERT_GE(heard[1].size(), 8u);
    EXPECT_EQ(heard[1].substr(4, 4), std::string("\xce\xfa\x0b\xb0", 4));

    // An abort during the first attempt is not followed by the second.
    RecordingTcpServer silent("");
    std::atomic<bool> abort { true };
    Demuxer aborted;
    aborted.abortFlag = &abort;
    EXPECT_FALSE(aborted.open("mms://127.0.0.1:" + std::to_string(silent.port) + "/live", 0, {}));
    EXPECT_EQ(aborted.lastError, "avformat_open_input: Immediate exit requested");
    // (The first attempt's connection may still have reached the server before it saw the abort.)
    EXPECT_LE(silent.heard().size(), 1u);
}

namespace {

// Addresses at which the demuxer waits for a sender, on a loopback UDP port.
struct Receiver {
    const char* protocol;
    std::string (*address)(int port);
};

const Receiver receivers[] = {
    { "srt", [](int port) { return "srt://127.0.0.1:" + std::to_string(port) + "?mode=listener"; } },
    { "rtp", [](int port) { return "rtp://127.0.0.1:" + std::to_string(port) + "?localaddr=127.0.0.1"; } },
    { "udp", [](int port) { return "udp://127.0.0.1:" + std::to_string(port) + "?localaddr=127.0.0.1"; } },
};

} // namespace

TEST(Demuxer, ReceiversNobodyFeedsTimeOut)
{
    // Also an SRT caller whose listener never answers the handshake.
    std::vector<Receiver> waits(std::begin(receivers), std::end(receivers));
    waits.push_back({ "srt caller", [](int port) { return "srt://127.0.0.1:" + std::to_string(port); } });
    for (const auto& r : waits) {
        SCOPED_TRACE(r.protocol);
        const int port = kvr::test::freeLoopbackPort(SOCK_DGRAM);
        Demuxer d;
        d.networkTimeoutUs = 1'000'000;
        const auto t0 = Clock::now();
        EXPECT_FALSE(d.open(r.address(port), 0, {}));
        // Well before the default time-out, let alone for ever; the port is given back.
        EXPECT_LT(secondsSince(t0), 8.0);
        EXPECT_EQ(d.lastError, "avformat_open_input: Connection timed out");
        EXPECT_TRUE(waitUntil([&] { return !kvr::test::udpPortTaken(port); }, 5s));
    }
}

TEST(Demuxer, AbortEndsAReceiverWaitAtOnce)
{
    for (const auto& r : receivers) {
        SCOPED_TRACE(r.protocol);
        const int port = kvr::test::freeLoopbackPort(SOCK_DGRAM);
        std::atomic<bool> abort { false };
        Demuxer d;
        d.abortFlag = &abort;
        Clock::time_point raised;
        std::thread aborter([&] {
            // Raised once the receiver waits on its port (or, failing that, after a while anyway).
            EXPECT_TRUE(waitUntil([&] { return kvr::test::udpPortTaken(port); }, 8s));
            raised = Clock::now();
            abort = true;
        });
        EXPECT_FALSE(d.open(r.address(port), 0, {}));
        const double late = secondsSince(raised);
        aborter.join();
        EXPECT_LT(late, 1.0);
        EXPECT_EQ(d.lastError, "avformat_open_input: Immediate exit requested");
    }
}

namespace {

// The local addresses (as /proc/net/udp writes them, hex) of the UDP sockets bound to a port.
std::vector<std::string> udpBindings(int port)
{
    char hexPort[8];
    std::snprintf(hexPort, sizeof hexPort, ":%04X", port);
    std::vector<std::string> found;
    std::istringstream table(kvr::test::readFile("/proc/net/udp"));
    std::string line;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        if (fields >> slot >> local && local.size() > 5 && local.substr(local.size() - 5) == hexPort)
            found.push_back(local.substr(0, local.size() - 5));
    }
    return found;
}

} // namespace

// An RTP address of this computer's own is listened on there alone, not on every interface, while the
// receiver waits; what the user wrote in the query still wins.
TEST(Demuxer, RtpOnALocalAddressBindsOnlyThatAddress)
{
    const struct {
        const char* query;
        const char* bound; // hex, as /proc/net/udp writes it
    } rows[] = {
        { "", "0100007F" }, // 127.0.0.1
        { "?localaddr=127.0.0.2", "0200007F" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.query);
        const int port = kvr::test::freeLoopbackPort(SOCK_DGRAM);
        std::atomic<bool> abort { false };
        Demuxer d;
        d.abortFlag = &abort;
        std::vector<std::string> bindings;
        std::thread watcher([&] {
            EXPECT_TRUE(waitUntil([&] { return kvr::test::udpPortTaken(port); }, 8s));
            bindings = udpBindings(port);
            abort = true;
        });
        EXPECT_FALSE(d.open("rtp://127.0.0.1:" + std::to_string(port) + row.query, 0, {}));
        watcher.join();
        EXPECT_EQ(bindings, std::vector<std::string> { row.bound });
    }
}

TEST(Demuxer, SrtListenerPlaysACallerThatComesWithinTheTimeOut)
{
    const int port = kvr::test::freeLoopbackPort(SOCK_DGRAM);
    Demuxer d;
    d.networkTimeoutUs = 30'000'000;
    std::atomic<bool> opened { false };
    std::thread opener([&] { opened = d.open("srt://127.0.0.1:" + std::to_string(port) + "?mode=listener", 0, {}); });
    ASSERT_TRUE(waitUntil([&] { return kvr::test::udpPortTaken(port); }, 10s));

    // The caller comes after the listener has started to wait.
    const std::string input = kvr::test::fixture("start-offset.ts").string();
    const std::string output = "srt://127.0.0.1:" + std::to_string(port);
    const char* argv[] = { "ffmpeg", "-hide_banner", "-nostdin", "-loglevel", "error", "-re", "-i", input.c_str(), "-c",
        "copy", "-f", "mpegts", output.c_str(), nullptr };
    pid_t caller = -1;
    ASSERT_EQ(::posix_spawnp(&caller, "ffmpeg", nullptr, nullptr, const_cast<char**>(argv), environ), 0);

    opener.join();
    ASSERT_TRUE(opened) << d.lastError;
    EXPECT_EQ(d.mediaInfo.formatName, "mpegts");
    EXPECT_EQ(d.mediaInfo.fileSize, -1);
    EXPECT_GE(d.audio.index, 0);
    EXPECT_GE(d.video.index, 0);

    std::atomic<int64_t> packets { 0 };
    std::atomic<int> audioPackets { 0 }, videoPackets { 0 };
    auto drain = [](PacketQueue& q, std::atomic<int>& count) {
        AVPacket* p = nullptr;
        while (q.pop(p)) {
            ++count;
            av_packet_free(&p);
        }
    };
    std::thread audio(drain, std::ref(d.audioQueue), std::ref(audioPackets));
    std::thread video(drain, std::ref(d.videoQueue), std::ref(videoPackets));
    d.start(&packets);
    // The three seconds of the clip arrive at their own pace.
    EXPECT_TRUE(waitUntil([&] { return audioPackets > 20 && videoPackets > 50; }, 30s))
        << audioPackets << " audio and " << videoPackets << " video packets";
    d.join();
    audio.join();
    video.join();

    int status = 0;
    if (::waitpid(caller, &status, WNOHANG) == 0) {
        ::kill(caller, SIGTERM);
        ::waitpid(caller, &status, 0);
    }
}
