#include "engine/internal/VideoFrameQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>

using namespace kvr::engine;
using namespace kvr::engine::internal;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<VideoFrame> picture(int64_t pts)
{
    auto f = std::make_shared<VideoFrame>();
    f->pts = pts;
    return f;
}

} // namespace

TEST(VideoFrameQueue, TakesTheNewestDuePictureAndDropsTheOlderOnes)
{
    VideoFrameQueue q(5);
    int64_t first = 7;
    EXPECT_TRUE(q.push(nullptr));
    EXPECT_FALSE(q.firstPts(first)); // nothing pushed yet: an empty picture does not count
    for (int64_t pts : { 0, 40, 80, 120 })
        ASSERT_TRUE(q.push(picture(pts)));
    std::weak_ptr<VideoFrame> oldest;
    {
        auto f = q.takeDue(-100, true); // nothing due: force gives the front
        ASSERT_TRUE(f);
        EXPECT_EQ(f->pts, 0);
        oldest = f;
    }
    EXPECT_TRUE(oldest.expired());
    EXPECT_FALSE(q.takeDue(-100, false)); // not due, not forced

    ASSERT_TRUE(q.push(picture(160)));
    auto f = q.takeDue(125, false); // 40, 80 and 120 are due
    ASSERT_TRUE(f);
    EXPECT_EQ(f->pts, 120);
    EXPECT_EQ(q.size(), 1u);
    EXPECT_FALSE(q.takeDue(159, false));

    // An empty picture is never queued.
    EXPECT_TRUE(q.push(nullptr));
    EXPECT_EQ(q.size(), 1u);

    // A picture without a time is always due.
    ASSERT_TRUE(q.push(picture(-1)));
    EXPECT_EQ(q.takeDue(0, false), nullptr); // 160 is in front and not due
    EXPECT_EQ(q.takeDue(160, false)->pts, -1);
    EXPECT_EQ(q.size(), 0u);

    // The first picture is remembered after it and every later one were taken.
    EXPECT_TRUE(q.firstPts(first));
    EXPECT_EQ(first, 0);
}

TEST(VideoFrameQueue, FullQueueBlocksTheProducerUntilATakeOrAnAbort)
{
    VideoFrameQueue q(2);
    ASSERT_TRUE(q.push(picture(0)));
    ASSERT_TRUE(q.push(picture(40)));

    auto blocked = std::async(std::launch::async, [&] { return q.push(picture(80)); });
    EXPECT_EQ(blocked.wait_for(100ms), std::future_status::timeout);
    ASSERT_TRUE(q.takeDue(0, false));
    ASSERT_EQ(blocked.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(blocked.get());

    auto picture120 = picture(120);
    std::weak_ptr<VideoFrame> watch = picture120;
    auto aborted = std::async(std::launch::async, [&] { return q.push(std::move(picture120)); });
    EXPECT_EQ(aborted.wait_for(100ms), std::future_status::timeout);
    q.abort();
    ASSERT_EQ(aborted.wait_for(5s), std::future_status::ready);
    EXPECT_FALSE(aborted.get());
    EXPECT_TRUE(watch.expired()); // the refused picture is released
    EXPECT_FALSE(q.push(picture(200)));
    EXPECT_EQ(q.size(), 2u); // what it held stays takeable
}
