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
#include <netinet/in.h>
#include <sys/socket.h>
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
    std::atomic<bool> served { false };
    std::atomic<bool> release { false };
    std::thread server([&] {
        const int client = ::accept(listener, nullptr, nullptr);
        if (client < 0)
            return;
        ::send(client, bytes.data(), bytes.size() / 2, MSG_NOSIGNAL);
        served = true;
        while (!release)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        ::close(client);
    });

    SessionState session;
    const std::string url = "tcp://127.0.0.1:" + std::to_string(ntohs(address.sin_port));
    std::atomic<int64_t> decoded { -1 };
    std::atomic<int64_t> endedAtNs { 0 };
    std::thread worker([&] {
        decoded = subtitlePrescan(session.job(url));
        endedAtNs = std::chrono::steady_clock::now().time_since_epoch().count();
    });
    while (!served)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // it has read all there is and waits
    EXPECT_EQ(endedAtNs.load(), 0);
    const auto raisedAt = std::chrono::steady_clock::now();
    session.abort = true;
    // Should the abort not reach the read, closing the connection still ends the worker, so the test fails
    // instead of hanging.
    while (endedAtNs == 0 && std::chrono::steady_clock::now() - raisedAt < std::chrono::seconds(2))
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    release = true;
    worker.join();
    const auto took = std::chrono::nanoseconds(endedAtNs.load() - raisedAt.time_since_epoch().count());
    server.join();
    ::close(listener);

    EXPECT_LT(took, std::chrono::milliseconds(200));
    EXPECT_GT(decoded.load(), 0);
    EXPECT_LT(decoded.load(), 36);
    EXPECT_NE(logText().find(
                  "Subtitles: pre-scan of stream 1 read " + std::to_string(decoded.load()) + " packets (aborted)\n"),
        std::string::npos)
        << logText();
}
