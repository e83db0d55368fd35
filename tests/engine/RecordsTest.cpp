#include "engine/MediaInfo.h"
#include "engine/StreamSelection.h"
#include "engine/VideoFrame.h"

#include <gtest/gtest.h>

#include <memory>

using namespace kvr::engine;

TEST(VideoFrame, DefaultsAtCreation)
{
    auto f = std::make_shared<VideoFrame>();
    EXPECT_EQ(f->width, 0);
    EXPECT_EQ(f->height, 0);
    EXPECT_EQ(f->pts, -1);
    EXPECT_EQ(f->format, 0);
    EXPECT_EQ(f->colorMatrix, 1);
    EXPECT_FALSE(f->fullRange);
    EXPECT_EQ(f->sarNum, 1);
    EXPECT_EQ(f->sarDen, 1);
    EXPECT_EQ(f->rotation, 0);
    EXPECT_EQ(f->bytesStride, 0);
    EXPECT_FALSE(f->owner);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(f->planes[i], nullptr);
        EXPECT_EQ(f->strides[i], 0);
    }
}

TEST(VideoFrame, CopyOfOwnedPixelsPointsIntoItsOwnBytes)
{
    VideoFrame a;
    a.width = 2;
    a.height = 1;
    a.bytesStride = 8;
    a.bytes = {1, 2, 3, 4, 5, 6, 7, 8};
    a.planes[0] = a.bytes.data();
    a.strides[0] = 8;

    VideoFrame copy(a);
    EXPECT_EQ(copy.planes[0], copy.bytes.data());
    EXPECT_NE(copy.planes[0], a.planes[0]);

    VideoFrame assigned;
    assigned = a;
    EXPECT_EQ(assigned.planes[0], assigned.bytes.data());

    auto source = std::make_unique<VideoFrame>(a);
    VideoFrame moved(std::move(*source));
    source.reset();
    ASSERT_EQ(moved.planes[0], moved.bytes.data());
    EXPECT_EQ(moved.planes[0][7], 8);
}

TEST(VideoFrame, CopyKeepsPlanesThatPointIntoTheOwner)
{
    static const uint8_t external[16] = {};
    VideoFrame a;
    a.format = 1;
    a.planes[0] = external;
    a.planes[1] = external + 8;
    a.owner = std::make_shared<int>(7);
    VideoFrame b(a);
    EXPECT_EQ(b.planes[0], external);
    EXPECT_EQ(b.planes[1], external + 8);
    EXPECT_EQ(b.owner, a.owner);
}

TEST(MediaInfo, DefaultsAndDeepCopy)
{
    MediaInfo info;
    EXPECT_EQ(info.fileSize, 0);
    EXPECT_EQ(info.durationUs, 0);
    EXPECT_TRUE(info.tracks.empty());

    TrackInfo track;
    EXPECT_EQ(track.streamIndex, 0);
    EXPECT_EQ(track.kind, 0);
    EXPECT_FALSE(track.isDefault);
    EXPECT_EQ(track.frameRate, 0.0);

    info.tracks.push_back(track);
    info.tags.push_back({"title", "x"});
    info.chapters.push_back({0, 10, "c"});
    MediaInfo copy = info;
    copy.tracks[0].title = "changed";
    EXPECT_TRUE(info.tracks[0].title.empty());

    StreamSelection sel;
    EXPECT_EQ(sel.audioTrack, -1);
    EXPECT_EQ(sel.subtitleTrack, -2);
}
