#include "engine/internal/AudioOutputWasapi.h"
#include "engine/internal/AudioRingBuffer.h"
#include "platform/audio/VirtualEndpoint.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <numeric>
#include <vector>

using namespace kvr::engine::internal;
using namespace kvr::platform::audio;
using namespace std::chrono_literals;

namespace {

std::vector<float> iota(size_t n, float from)
{
    std::vector<float> v(n);
    std::iota(v.begin(), v.end(), from);
    return v;
}

} // namespace

TEST(AudioRingBuffer, WrapsAroundTheEndOfItsStorage)
{
    AudioRingBuffer ring;
    ring.reset(8);
    const auto first = iota(6, 1);
    ASSERT_EQ(ring.write(first.data(), first.size()), 6u);
    std::vector<float> out(4, -1);
    ASSERT_EQ(ring.read(out.data(), 4), 4u);
    EXPECT_EQ(out, (std::vector<float> { 1, 2, 3, 4 }));

    const auto second = iota(5, 7); // 7..11; three of them wrap to the start of the storage
    ASSERT_EQ(ring.write(second.data(), second.size()), 5u);
    EXPECT_EQ(ring.buffered(), 7u);
    out.assign(9, -1);
    EXPECT_EQ(ring.read(out.data(), 9), 7u);
    EXPECT_EQ(out, (std::vector<float> { 5, 6, 7, 8, 9, 10, 11, 0, 0 })) << "the shortfall is silence";
    EXPECT_EQ(ring.buffered(), 0u);
}

TEST(AudioRingBuffer, BufferedCountsSamplesNotFrames)
{
    AudioRingBuffer ring;
    ring.reset(2 * 48000 / 5);
    const std::vector<float> threeStereoFrames(6, 0.5f);
    ring.write(threeStereoFrames.data(), threeStereoFrames.size());
    EXPECT_EQ(ring.buffered(), 6u);
}

TEST(AudioRingBuffer, AWriteWaitsForRoomAndCompletes)
{
    AudioRingBuffer ring;
    ring.reset(4);
    const auto data = iota(10, 1);
    auto writer = std::async(std::launch::async, [&] { return ring.write(data.data(), data.size()); });
    std::vector<float> got;
    float chunk[3];
    while (got.size() < data.size()) {
        const size_t n = ring.read(chunk, 3);
        got.insert(got.end(), chunk, chunk + n);
        if (n == 0)
            std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(writer.get(), data.size());
    EXPECT_EQ(got, data);
}

// A writer blocked on a full ring (or on a ring that has no storage yet) must come back with what it copied as
// soon as the ring is closed, whoever closes it.
TEST(AudioRingBuffer, ABlockedWriterReturnsShortWhenTheRingCloses)
{
    struct Case {
        const char* name;
        bool opened;
        std::function<void(AudioOutputWasapi&)> close;
        size_t expected;
    };
    const size_t capacity = 2 * 48000 / 5;
    const Case cases[] = {
        { "abort on a full ring", true, [](AudioOutputWasapi& out) { out.ring().abort(); }, capacity },
        { "stop on a full ring", true, [](AudioOutputWasapi& out) { out.stop(); }, capacity },
        { "abort on a ring without storage", false, [](AudioOutputWasapi& out) { out.ring().abort(); }, 0 },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        VirtualDeviceOptions options;
        options.manualPacing = true; // nothing drains the ring
        auto device = std::make_shared<VirtualDevice>(options);
        AudioOutputWasapi out([device] { return makeVirtualEnumerator(device); });
        if (c.opened) {
            ASSERT_TRUE(out.start());
        }
        const std::vector<float> data(capacity + 1000, 0.25f);
        auto writer = std::async(std::launch::async, [&] { return out.ring().write(data.data(), data.size()); });
        EXPECT_EQ(writer.wait_for(100ms), std::future_status::timeout) << "the writer should wait for room";
        c.close(out);
        ASSERT_EQ(writer.wait_for(2s), std::future_status::ready);
        EXPECT_EQ(writer.get(), c.expected);
        EXPECT_EQ(out.ring().write(data.data(), 1), 0u) << "a closed ring takes nothing";
    }
}
