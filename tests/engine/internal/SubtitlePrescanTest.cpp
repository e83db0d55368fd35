#include "engine/internal/SubtitlePrescan.h"

#include "engine/Logging.h"
#include "engine/PrivateDirectory.h"
#include "engine/internal/SubtitleDecoder.h"
#include "tests/support/TestSupport.h"

extern "C" {
#include <libavformat/avformat.h>
}
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

using namespace kvr::engine::internal;
using kvr::test::fixture;
using kvr::test::readFile;

namespace {

constexpr int32_t kSubtitleStream = 1; // in long-subs.mkv and late-start-subs.mkv

struct SessionState {
    std::shared_ptr<SubtitleRenderer> renderer = std::make_shared<SubtitleRenderer>();
    std::mutex subtitleMutex;
    std::atomic<int32_t> currentSubtitleTrack { kSubtitleStream };
    std::atomic<bool> abort { false };

    SubtitlePrescanJob job(const std::string& path, int32_t stream = kSubtitleStream)
    {
        SubtitlePrescanJob job;
        job.renderer = renderer;
        job.path = path;
        job.streamIndex = stream;
        job.subtitleMutex = &subtitleMutex;
        job.currentSubtitleTrack = &currentSubtitleTrack;
        job.abort = &abort;
        return job;
    }
};

int64_t runOnThread(const SubtitlePrescanJob& job)
{
    int64_t decoded = -1;
    std::thread worker([&] { decoded = subtitlePrescan(job); });
    worker.join();
    return decoded;
}

std::string logText()
{
    return readFile(kvr::engine::privateDirectory() / "kvr.log");
}

// What the live road does: the file probed as the demuxer probes it, timestamps made relative to the container
// start, the first `count` subtitle packets decoded. Returns the container start time in microseconds.
int64_t feedLive(const std::string& path, SubtitleRenderer& renderer, int count)
{
    AVFormatContext* format = nullptr;
    EXPECT_EQ(avformat_open_input(&format, path.c_str(), nullptr, nullptr), 0);
    avformat_find_stream_info(format, nullptr);
    const AVStream* stream = format->streams[kSubtitleStream];
    const int64_t startUs = format->start_time == AV_NOPTS_VALUE ? 0 : format->start_time;
    const int64_t offset = av_rescale_q(startUs, AV_TIME_BASE_Q, stream->time_base);
    SubtitleDecoder decoder;
    EXPECT_TRUE(decoder.open(stream->codecpar, &renderer, 0, 0));
    AVPacket* packet = av_packet_alloc();
    while (count > 0 && av_read_frame(format, packet) >= 0) {
        if (packet->stream_index == kSubtitleStream) {
            packet->pts -= offset;
            packet->dts -= offset;
            decoder.decodePacket(packet, stream->time_base);
            --count;
        }
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    avformat_close_input(&format);
    return startUs;
}

// The connected socket of this process whose peer is the given local port (network byte order), or -1.
int peerOf(in_port_t port)
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        const int fd = std::atoi(entry.path().filename().c_str());
        sockaddr_in peer {};
        socklen_t size = sizeof peer;
        if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &size) == 0 && peer.sin_family == AF_INET
            && peer.sin_port == port)
            return fd;
    }
    return -1;
}

// The scheduler's state letter of one of this process's threads ('R' running, 'S' asleep, ...).
char threadState(pid_t tid)
{
    const std::string stat = readFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    const size_t at = stat.rfind(')');
    return at == std::string::npos || at + 2 >= stat.size() ? '?' : stat[at + 2];
}

} // namespace

TEST(SubtitlePrescan, FeedsEveryEventOfTheFileOnceBesideTheLiveRoad)
{
    kvr::engine::init_logging();
    SessionState session;
    const std::string path = fixture("long-subs.mkv").string();
    feedLive(path, *session.renderer, 5);
    ASSERT_EQ(session.renderer->textEvents().size(), 5u);

    EXPECT_EQ(runOnThread(session.job(path)), 36);
    const auto events = session.renderer->textEvents();
    ASSERT_EQ(events.size(), 36u);
    EXPECT_EQ(events.back().startMs, 70000);
    EXPECT_EQ(events.back().text, "Long cue 35");
    EXPECT_NE(logText().find("Subtitles: pre-scan of stream 1 read 36 packets\n"), std::string::npos) << logText();

    // The renderer draws the last cue without the live road ever reaching it.
    SubtitleOverlay out;
    EXPECT_TRUE(session.renderer->renderInto(70500000, 320, 240, 64, 48, out));
    EXPECT_FALSE(out.empty);
}

TEST(SubtitlePrescan, UsesTheLiveRoadsContainerStart)
{
    SessionState session;
    const std::string path = fixture("late-start-subs.mkv").string();
    const int64_t startUs = feedLive(path, *session.renderer, 2);
    ASSERT_GT(startUs, 0);
    SubtitlePrescanJob job = session.job(path);
    job.startTimeUs = startUs;
    EXPECT_EQ(runOnThread(job), 2);
    // Both roads produced the same events: nothing was added twice at a shifted time.
    const auto events = session.renderer->textEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].startMs, 500 - (startUs - 5000000) / 1000);
}

TEST(SubtitlePrescan, StopsDecodingWhenTheTrackIsSwitchedAway)
{
    kvr::engine::init_logging();
    SessionState session;
    session.currentSubtitleTrack = -1;
    EXPECT_EQ(runOnThread(session.job(fixture("long-subs.mkv").string())), 0);
    EXPECT_TRUE(session.renderer->textEvents().empty());
    EXPECT_NE(logText().find("Subtitles: pre-scan of stream 1 read 0 packets\n"), std::string::npos) << logText();
}

TEST(SubtitlePrescan, UnusableInputEndsSilently)
{
    kvr::engine::init_logging();
    const size_t logBefore = logText().size();
    struct Row {
        std::string path;
        int32_t stream;
    };
    const Row rows[] = {
        { (kvr::test::scratchDirectory() / "removed.mkv").string(), kSubtitleStream },
        { fixture("long-subs.mkv").string(), 0 }, // the video stream
        { fixture("long-subs.mkv").string(), 2 },
        { fixture("long-subs.mkv").string(), -1 },
    };
    for (const Row& row : rows) {
        SessionState session;
        EXPECT_EQ(runOnThread(session.job(row.path, row.stream)), 0) << row.path << " " << row.stream;
    }
    EXPECT_EQ(logText().find("pre-scan of stream", logBefore), std::string::npos) << logText();
}

TEST(SubtitlePrescan, AbortEndsABlockingReadPromptly)
{
    kvr::engine::init_logging();
    // A local server hands out the first half of the file and then stalls, so the worker blocks in a read.
    const std::string bytes = readFile(fixture("long-subs.mkv"));
    ASSERT_GT(bytes.size(), 20000u);
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    socklen_t length = sizeof address;
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    std::atomic<int> served { -1 }; // the server's end of the connection once it has sent its half
    std::atomic<bool> release { false };
    std::thread server([&] {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0)
            return;
        ::send(client, bytes.data(), bytes.size() / 2, MSG_NOSIGNAL);
        served = client;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(client);
    });

    SessionState session;
    const std::string url = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    std::atomic<int64_t> decoded { -1 };
    std::atomic<bool> ended { false };
    std::atomic<pid_t> workerTid { 0 };
    std::thread worker([&] {
        workerTid = static_cast<pid_t>(::syscall(SYS_gettid));
        decoded = subtitlePrescan(session.job(url));
        ended = true;
    });
    // It has read all there is and waits: nothing left in flight on either end, and the worker asleep. The
    // worker runs below normal priority, so on a busy machine this can take a while.
    const auto drained = [&] {
        const int serverEnd = served.load();
        int unsent = 0, unread = 0;
        if (serverEnd < 0 || ::ioctl(serverEnd, SIOCOUTQ, &unsent) != 0 || unsent != 0)
            return false;
        const int workerEnd = peerOf(address.sin_port);
        if (workerEnd < 0 || ::ioctl(workerEnd, FIONREAD, &unread) != 0 || unread != 0)
            return false;
        return threadState(workerTid) == 'S';
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    int asleep = 0;
    while (asleep < 5 && std::chrono::steady_clock::now() < deadline) {
        asleep = drained() ? asleep + 1 : 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    EXPECT_EQ(asleep, 5) << "the worker never waited for more";
    EXPECT_FALSE(ended.load());
    session.abort = true;
    // The abort has to end the read by itself: the connection stays open until the worker has ended, or until
    // a generous deadline has passed (so that the test fails instead of hanging).
    const auto raisedAt = std::chrono::steady_clock::now();
    while (!ended && std::chrono::steady_clock::now() - raisedAt < std::chrono::seconds(30))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool endedBeforeTheConnection = ended;
    release = true;
    worker.join();
    server.join();
    ::close(listener);

    EXPECT_TRUE(endedBeforeTheConnection);
    EXPECT_GT(decoded.load(), 0);
    EXPECT_LT(decoded.load(), 36);
    EXPECT_NE(logText().find(
                  "Subtitles: pre-scan of stream 1 read " + std::to_string(decoded.load()) + " packets (aborted)\n"),
        std::string::npos)
        << logText();
}
