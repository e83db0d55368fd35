#include "engine/internal/PacketQueue.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>

using namespace kvr::engine::internal;
using namespace std::chrono_literals;

namespace {

AVPacket* makePacket(int size, int64_t pts = 0)
{
    AVPacket* p = av_packet_alloc();
    if (size > 0)
        av_new_packet(p, size);
    p->pts = pts;
    return p;
}

// Pushes on a thread of its own; the result is ready once push returns.
std::future<bool> pushAsync(PacketQueue& q, AVPacket* p)
{
    return std::async(std::launch::async, [&q, p] {
        AVPacket* packet = p;
        const bool ok = q.push(packet);
        if (!ok)
            av_packet_free(&packet);
        return ok;
    });
}

bool blocked(std::future<bool>& f)
{
    return f.wait_for(150ms) == std::future_status::timeout;
}

} // namespace

TEST(PacketQueue, ClosedQueueStillHandsOutWhatItHolds)
{
    PacketQueue q(4);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(q.push(makePacket(10, i)));
    q.close();
    AVPacket* late = makePacket(10);
    EXPECT_FALSE(q.push(late)); // the caller still owns it
    av_packet_free(&late);
    for (int i = 0; i < 3; ++i) {
        AVPacket* p = nullptr;
        ASSERT_TRUE(q.pop(p));
        EXPECT_EQ(p->pts, i);
        av_packet_free(&p);
    }
    AVPacket* p = nullptr;
    EXPECT_FALSE(q.pop(p));
    EXPECT_FALSE(q.pop(p));
}

TEST(PacketQueue, CloseWakesBlockedProducerAndConsumer)
{
    PacketQueue full(2);
    ASSERT_TRUE(full.push(makePacket(1)));
    ASSERT_TRUE(full.push(makePacket(1)));
    auto producer = pushAsync(full, makePacket(1));
    ASSERT_TRUE(blocked(producer));
    full.close();
    EXPECT_FALSE(producer.get());
    EXPECT_EQ(full.size(), 2u); // queued packets are freed by the destructor

    PacketQueue empty(2);
    auto consumer = std::async(std::launch::async, [&] {
        AVPacket* p = nullptr;
        return empty.pop(p);
    });
    ASSERT_EQ(consumer.wait_for(150ms), std::future_status::timeout);
    empty.close();
    EXPECT_FALSE(consumer.get());
}

TEST(PacketQueue, PopMakesRoomForABlockedProducer)
{
    PacketQueue q(1);
    ASSERT_TRUE(q.push(makePacket(1, 1)));
    auto producer = pushAsync(q, makePacket(1, 2));
    ASSERT_TRUE(blocked(producer));
    AVPacket* p = nullptr;
    ASSERT_TRUE(q.pop(p));
    EXPECT_EQ(p->pts, 1);
    av_packet_free(&p);
    EXPECT_TRUE(producer.get());
    ASSERT_TRUE(q.pop(p));
    EXPECT_EQ(p->pts, 2);
    av_packet_free(&p);
}

// The video decoder waits for audio; when the audio queue runs dry, the full video queue must keep taking
// packets (up to a byte bound) so the read thread can reach the audio.
TEST(PacketQueue, FullQueueGrowsOnlyWhileItsSiblingStarves)
{
    PacketQueue video(2);
    PacketQueue audio(2);
    PacketQueue::linkSiblings(video, audio, 1000);

    ASSERT_TRUE(video.push(makePacket(100)));
    ASSERT_TRUE(video.push(makePacket(100)));
    // Audio is empty and open: video goes past its capacity...
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(video.push(makePacket(100)));
    EXPECT_EQ(video.size(), 8u);
    EXPECT_EQ(video.bytes(), 800u);
    // ...but not past the byte bound.
    auto overBound = pushAsync(video, makePacket(300));
    ASSERT_TRUE(blocked(overBound));
    AVPacket* p = nullptr;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(video.pop(p));
        av_packet_free(&p);
    }
    EXPECT_TRUE(overBound.get()); // 600 + 300 bytes fit again
    while (video.size() > 0) {
        ASSERT_TRUE(video.pop(p));
        av_packet_free(&p);
    }

    // Once audio holds a packet, video is back to its capacity.
    ASSERT_TRUE(audio.push(makePacket(10)));
    ASSERT_TRUE(video.push(makePacket(10)));
    ASSERT_TRUE(video.push(makePacket(10)));
    auto waiting = pushAsync(video, makePacket(10));
    ASSERT_TRUE(blocked(waiting));
    // The audio decoder takes the last audio packet and starves: that alone must wake the producer.
    ASSERT_TRUE(audio.pop(p));
    av_packet_free(&p);
    const bool woken = waiting.wait_for(1s) == std::future_status::ready;
    if (!woken)
        video.close(); // let the test end
    ASSERT_TRUE(woken);
    EXPECT_TRUE(waiting.get());
    EXPECT_EQ(video.size(), 3u);

    // A closed sibling has ended: no more growth.
    audio.close();
    auto afterEnd = pushAsync(video, makePacket(10));
    ASSERT_TRUE(blocked(afterEnd));
    video.close();
    EXPECT_FALSE(afterEnd.get());
}
