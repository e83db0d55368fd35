#include "engine/internal/SubtitleDecoder.h"

#include "engine/internal/SubtitleRenderer.h"
#include "tests/engine/internal/SubtitleTestSupport.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdlib>
#include <new>

using namespace kvr::engine::internal;
using kvr::test::coveredPixels;
using kvr::test::SubripFeeder;

// The largest single C++ allocation while armed: shows whether our code ever sizes a buffer from a crafted
// rectangle. (FFmpeg's own allocations go through av_malloc and are not counted.)
namespace {
std::atomic<bool> trackAllocations { false };
std::atomic<size_t> largestAllocation { 0 };
} // namespace

void* operator new(size_t size)
{
    if (trackAllocations.load(std::memory_order_relaxed)) {
        size_t seen = largestAllocation.load(std::memory_order_relaxed);
        while (size > seen && !largestAllocation.compare_exchange_weak(seen, size)) { }
    }
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
// Paired with the malloc above (a sanitizer's own operator delete would not match it). Not inlined, so the
// compiler does not mistake the pair for a mismatch.
__attribute__((noinline)) void operator delete(void* p) noexcept
{
    std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, size_t) noexcept
{
    std::free(p);
}

namespace {

// Encodes one palette-indexed rectangle as a DVD subtitle with FFmpeg's own encoder, and opens a decoder for
// that stream on the renderer with the given canvas.
struct DvdSubtitle {
    AVCodecContext* encoder = nullptr;
    SubtitleDecoder decoder;
    std::vector<uint8_t> packet;

    DvdSubtitle(SubtitleRenderer& renderer, int32_t canvasWidth, int32_t canvasHeight)
    {
        const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_DVD_SUBTITLE);
        encoder = avcodec_alloc_context3(codec);
        // The encoder refuses rectangles beyond its own canvas; the stream's canvas is set apart below.
        encoder->width = 4096;
        encoder->height = 4096;
        encoder->time_base = AVRational { 1, 1000 };
        EXPECT_EQ(avcodec_open2(encoder, codec, nullptr), 0);
        AVCodecParameters* params = avcodec_parameters_alloc();
        avcodec_parameters_from_context(params, encoder);
        params->width = canvasWidth;
        params->height = canvasHeight;
        EXPECT_TRUE(decoder.open(params, &renderer, 0, 0));
        avcodec_parameters_free(&params);
    }
    ~DvdSubtitle() { avcodec_free_context(&encoder); }

    // A w × h rectangle at (x, y) filled with colour index 1 of a two-entry palette.
    bool encode(int x, int y, int w, int h, uint32_t argb)
    {
        AVSubtitleRect rect {};
        rect.type = SUBTITLE_BITMAP;
        rect.x = x;
        rect.y = y;
        rect.w = w;
        rect.h = h;
        rect.nb_colors = 2;
        rect.linesize[0] = w;
        rect.data[0] = static_cast<uint8_t*>(av_malloc(size_t(w) * h));
        std::fill_n(rect.data[0], size_t(w) * h, uint8_t(1));
        rect.data[1] = static_cast<uint8_t*>(av_mallocz(1024));
        std::memcpy(rect.data[1] + 4, &argb, 4);
        AVSubtitleRect* rects[1] = { &rect };
        AVSubtitle sub {};
        sub.num_rects = 1;
        sub.rects = rects;
        sub.end_display_time = 2000;
        packet.assign(size_t(1) << 23, 0); // the encoder wants room for its worst case
        const int n = avcodec_encode_subtitle(encoder, packet.data(), int(packet.size()), &sub);
        av_free(rect.data[0]);
        av_free(rect.data[1]);
        packet.resize(n > 0 ? size_t(n) : 0);
        return n > 0;
    }

    void decodeAt(int64_t startMs)
    {
        AVPacket* p = av_packet_alloc();
        av_new_packet(p, int(packet.size()));
        std::memcpy(p->data, packet.data(), packet.size());
        p->pts = startMs;
        decoder.decodePacket(p, AVRational { 1, 1000 });
        av_packet_free(&p);
    }
};

} // namespace

TEST(SubtitleDecoder, TextDurationComesFromThePacketOrIsFiveSeconds)
{
    struct Row {
        int64_t packetDurationMs;
        int64_t shownMs;
    };
    for (const Row& row : { Row { 0, 5000 }, Row { 2500, 2500 } }) {
        SubtitleRenderer renderer;
        SubripFeeder feeder(renderer);
        ASSERT_TRUE(feeder.opened);
        feeder.feed("No end", 10000, row.packetDurationMs);
        const auto events = renderer.textEvents();
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].startMs, 10000);
        EXPECT_EQ(events[0].durationMs, row.shownMs);
        SubtitleOverlay out;
        renderer.renderInto((10000 + row.shownMs - 100) * 1000, 320, 180, 320, 180, out);
        EXPECT_FALSE(out.empty) << row.packetDurationMs;
        renderer.renderInto((10000 + row.shownMs + 100) * 1000, 320, 180, 320, 180, out);
        EXPECT_TRUE(out.empty) << row.packetDurationMs;
    }
}

TEST(SubtitleDecoder, PacketTimesAreRescaledAndUntimedPacketsIgnored)
{
    SubtitleRenderer renderer;
    SubripFeeder feeder(renderer);
    ASSERT_TRUE(feeder.opened);
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, 5);
    std::memcpy(packet->data, "Hello", 5);
    packet->pts = 90000 * 3; // 3 s in a 90 kHz time base
    packet->duration = 90000;
    feeder.decoder.decodePacket(packet, AVRational { 1, 90000 });
    packet->pts = AV_NOPTS_VALUE;
    packet->dts = 90000 * 7; // decoding time when there is no presentation time
    feeder.decoder.decodePacket(packet, AVRational { 1, 90000 });
    packet->dts = AV_NOPTS_VALUE;
    feeder.decoder.decodePacket(packet, AVRational { 1, 90000 });
    av_packet_free(&packet);
    const auto events = renderer.textEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].startMs, 3000);
    EXPECT_EQ(events[0].durationMs, 1000);
    EXPECT_EQ(events[1].startMs, 7000);
}

TEST(SubtitleDecoder, BitmapPixelsArePremultipliedFromThePalette)
{
    SubtitleRenderer renderer;
    DvdSubtitle dvd(renderer, 64, 48);
    ASSERT_TRUE(dvd.decoder.bitmap);
    // Opaque-ish pure red: the DVD encoder keeps 4-bit alpha, 0x88 survives exactly.
    ASSERT_TRUE(dvd.encode(8, 6, 16, 8, 0x88FF0000));
    dvd.decodeAt(1000);
    const auto times = renderer.bitmapEventTimes();
    ASSERT_EQ(times.size(), 1u);
    EXPECT_EQ(times[0].startUs, 1000000);
    EXPECT_NEAR(double(times[0].endUs), 3000000.0, 20000.0); // DVD times tick in 1024/90000 s
    SubtitleOverlay out;
    ASSERT_TRUE(renderer.renderInto(1500000, 64, 48, 64, 48, out));
    ASSERT_FALSE(out.empty);
    const uint8_t* inside = out.pixels.data() + (10 * 64 + 12) * 4;
    EXPECT_EQ(inside[0], 0);
    EXPECT_EQ(inside[1], 0);
    EXPECT_EQ(inside[2], 0x88);
    EXPECT_EQ(inside[3], 0x88);
    EXPECT_EQ(coveredPixels(out, 0, 6), 0);
}

TEST(SubtitleDecoder, RectangleFarLargerThanItsCanvasCostsNoLargeAllocation)
{
    SubtitleRenderer renderer;
    DvdSubtitle dvd(renderer, 720, 576);
    // About as large as the DVD encoder goes: 15 times the canvas; unclipped it would need 25 MB as BGRA and
    // 55 MB scaled.
    ASSERT_TRUE(dvd.encode(0, 0, 2500, 2500, 0xFFFFFFFF));
    const int32_t width = 1280, height = 720;
    const size_t overlayBytes = size_t(width) * height * 4;
    SubtitleOverlay out;
    out.pixels.reserve(overlayBytes);

    largestAllocation = 0;
    trackAllocations = true;
    dvd.decodeAt(0);
    const bool written = renderer.renderInto(500000, width, height, 720, 576, out);
    trackAllocations = false;

    ASSERT_TRUE(written);
    ASSERT_FALSE(out.empty);
    // What is drawn covers the whole overlay: the canvas part of the rectangle, scaled.
    EXPECT_EQ(coveredPixels(out, 0, height), int64_t(width) * height);
    EXPECT_LE(largestAllocation.load(), overlayBytes);
}
