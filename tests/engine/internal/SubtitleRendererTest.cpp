#include "engine/internal/SubtitleRenderer.h"

#include "engine/Logging.h"
#include "engine/PrivateDirectory.h"
#include "engine/internal/SubtitleText.h"
#include "tests/engine/internal/SubtitleTestSupport.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>

using namespace kvr::engine::internal;
using kvr::test::coveredPixels;
using kvr::test::SubripFeeder;

namespace {

constexpr int64_t kOpen = INT64_MAX;

// One solid rectangle of premultiplied BGRA.
std::vector<BitmapRect> solid(int32_t x, int32_t y, int32_t w, int32_t h, uint8_t blue)
{
    BitmapRect rect { x, y, w, h, {} };
    for (int i = 0; i < w * h; ++i)
        rect.pixels.insert(rect.pixels.end(), { blue, 0, 0, 255 });
    std::vector<BitmapRect> rects;
    rects.push_back(std::move(rect));
    return rects;
}

// The blue byte of the overlay's first pixel: which solid event is shown (0 when none).
int shownBlue(SubtitleRenderer& renderer, int64_t timeUs)
{
    SubtitleOverlay out;
    renderer.flush();
    EXPECT_TRUE(renderer.renderInto(timeUs, 10, 10, 10, 10, out));
    return out.empty ? 0 : out.pixels[0];
}

std::string logText()
{
    return kvr::test::readFile(kvr::engine::privateDirectory() / "kvr.log");
}

size_t countOf(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

int64_t statusKiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(field, 0) == 0)
            return std::stoll(line.substr(std::strlen(field)));
    return -1;
}

// How far the process's resident size rose above where it stood when `run` began.
int64_t peakRiseKiB(const std::function<void()>& run)
{
    std::ofstream("/proc/self/clear_refs") << "5"; // the peak starts again from the present size
    const int64_t before = statusKiB("VmRSS:");
    run();
    return statusKiB("VmHWM:") - before;
}

// An event as the decoders hand it on, with `text` in the Text field.
std::string eventLine(const std::string& text)
{
    return "0,0,Default,,0,0,0,," + text;
}

} // namespace

TEST(SubtitleRenderer, DuplicateTextEventsReachLibassOnce)
{
    SubtitleRenderer renderer;
    SubripFeeder live(renderer);
    SubripFeeder prescan(renderer);
    ASSERT_TRUE(live.opened && prescan.opened);
    live.feed("Hello", 1000, 2000);
    prescan.feed("Hello", 1000, 2000);
    live.feed("Hello", 1000, 2000); // again after a seek
    // Same text and start under another read order is the same event too.
    renderer.addTextEvent("77,0,Default,,0,0,0,,Hello", 26, 1000, 2000);
    ASSERT_EQ(renderer.textEvents().size(), 1u);

    prescan.feed("Hello", 5000, 2000);
    live.feed("Bye", 1000, 2000);
    renderer.addTextEvent("no field separator", 18, 9000, 1000);
    const auto events = renderer.textEvents();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].text, "Hello");
    EXPECT_EQ(events[0].startMs, 1000);
    EXPECT_EQ(events[0].durationMs, 2000);
    EXPECT_EQ(events[1].startMs, 5000);
    EXPECT_EQ(events[2].text, "Bye");
}

TEST(SubtitleRenderer, TextWithDefaultFontLandsInLowerThird)
{
    SubtitleRenderer renderer;
    SubripFeeder feeder(renderer);
    ASSERT_TRUE(feeder.opened);
    feeder.feed("Hello subtitles", 0, 4000);
    SubtitleOverlay out;
    ASSERT_TRUE(renderer.renderInto(1000000, 640, 360, 640, 360, out));
    ASSERT_FALSE(out.empty);
    ASSERT_EQ(out.width, 640);
    ASSERT_EQ(out.height, 360);
    ASSERT_EQ(out.pixels.size(), 640u * 360u * 4u);
    EXPECT_GT(coveredPixels(out, 240, 360), 100);
    EXPECT_EQ(coveredPixels(out, 0, 120), 0);
}

TEST(SubtitleRenderer, TextOverlayIsWrittenOnlyWhenSomethingChanged)
{
    SubtitleRenderer renderer;
    SubripFeeder feeder(renderer);
    ASSERT_TRUE(feeder.opened);
    feeder.feed("Hello", 1000, 2000);
    SubtitleOverlay out;

    EXPECT_TRUE(renderer.renderInto(0, 320, 180, 320, 180, out)); // first call clears
    EXPECT_TRUE(out.empty);
    EXPECT_FALSE(renderer.renderInto(500000, 320, 180, 320, 180, out)); // the clear happens once
    EXPECT_TRUE(renderer.renderInto(1500000, 320, 180, 320, 180, out));
    EXPECT_FALSE(out.empty);
    EXPECT_FALSE(renderer.renderInto(1600000, 320, 180, 320, 180, out));

    // A resize redraws at the new size although no subtitle changed.
    ASSERT_TRUE(renderer.renderInto(1700000, 640, 360, 640, 360, out));
    EXPECT_FALSE(out.empty);
    EXPECT_EQ(out.pixels.size(), 640u * 360u * 4u);
    EXPECT_FALSE(renderer.renderInto(1800000, 640, 360, 640, 360, out));

    renderer.flush();
    EXPECT_TRUE(renderer.renderInto(1800000, 640, 360, 640, 360, out));

    EXPECT_TRUE(renderer.renderInto(3500000, 640, 360, 640, 360, out)); // event over
    EXPECT_TRUE(out.empty);
    EXPECT_TRUE(out.pixels.empty());
    EXPECT_FALSE(renderer.renderInto(3600000, 640, 360, 640, 360, out));
    EXPECT_FALSE(renderer.renderInto(0, 0, 360, 640, 360, out)); // no target, nothing written
}

TEST(SubtitleRenderer, WithoutEventsTheOverlayIsClearedOncePerSize)
{
    SubtitleRenderer renderer;
    SubtitleOverlay out;
    out.empty = false;
    out.pixels.assign(16, 1);
    ASSERT_TRUE(renderer.renderInto(0, 2, 2, 0, 0, out));
    EXPECT_TRUE(out.empty);
    EXPECT_TRUE(out.pixels.empty());
    EXPECT_EQ(out.width, 2);
    EXPECT_FALSE(renderer.renderInto(1000, 2, 2, 0, 0, out));
    EXPECT_TRUE(renderer.renderInto(1000, 3, 2, 0, 0, out));
    EXPECT_FALSE(renderer.renderInto(2000, 3, 2, 0, 0, out));
}

TEST(SubtitleRenderer, BitmapEventsEndReplaceAndClear)
{
    SubtitleRenderer renderer;
    renderer.addBitmapEvent(1000000, kOpen, 10, 10, solid(0, 0, 10, 10, 10));
    renderer.addBitmapEvent(3000000, kOpen, 10, 10, solid(0, 0, 10, 10, 30));
    auto times = renderer.bitmapEventTimes();
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[0].endUs, 3000000); // open-ended until the next starts
    EXPECT_EQ(times[1].endUs, kOpen);
    EXPECT_EQ(shownBlue(renderer, 500000), 0);
    EXPECT_EQ(shownBlue(renderer, 2999999), 10);
    EXPECT_EQ(shownBlue(renderer, 3000000), 30);
    EXPECT_EQ(shownBlue(renderer, 60000000), 30);

    // An empty event ends the open one and is not stored.
    renderer.addBitmapEvent(5000000, kOpen, 10, 10, {});
    times = renderer.bitmapEventTimes();
    ASSERT_EQ(times.size(), 2u);
    EXPECT_EQ(times[1].endUs, 5000000);
    EXPECT_EQ(shownBlue(renderer, 4000000), 30);
    EXPECT_EQ(shownBlue(renderer, 5000000), 0);

    // The same start replaces; a bounded event inserted between keeps the order.
    renderer.addBitmapEvent(1000000, 2000000, 10, 10, solid(0, 0, 10, 10, 50));
    renderer.addBitmapEvent(7000000, 8000000, 10, 10, solid(0, 0, 10, 10, 70));
    times = renderer.bitmapEventTimes();
    ASSERT_EQ(times.size(), 3u);
    EXPECT_EQ(times[0].startUs, 1000000);
    EXPECT_EQ(times[0].endUs, 2000000);
    EXPECT_EQ(times[2].startUs, 7000000);
    EXPECT_EQ(shownBlue(renderer, 1500000), 50);
    EXPECT_EQ(shownBlue(renderer, 2500000), 0);
    EXPECT_EQ(shownBlue(renderer, 7500000), 70);

    renderer.clearTrack();
    EXPECT_TRUE(renderer.bitmapEventTimes().empty());
}

TEST(SubtitleRenderer, BitmapOverlayIsWrittenOnlyWhenSomethingChanged)
{
    SubtitleRenderer renderer;
    renderer.addBitmapEvent(1000000, 2000000, 100, 100, solid(10, 10, 20, 20, 200));
    SubtitleOverlay out;
    EXPECT_TRUE(renderer.renderInto(0, 100, 100, 100, 100, out));
    EXPECT_TRUE(out.empty);
    EXPECT_FALSE(renderer.renderInto(500000, 100, 100, 100, 100, out));
    EXPECT_TRUE(renderer.renderInto(1000000, 100, 100, 100, 100, out));
    EXPECT_FALSE(out.empty);
    EXPECT_FALSE(renderer.renderInto(1500000, 100, 100, 100, 100, out));
    EXPECT_TRUE(renderer.renderInto(1500000, 200, 200, 100, 100, out)); // resize redraws
    EXPECT_EQ(out.pixels.size(), 200u * 200u * 4u);
    EXPECT_FALSE(renderer.renderInto(1600000, 200, 200, 100, 100, out));
    renderer.addBitmapEvent(5000000, 6000000, 100, 100, solid(0, 0, 1, 1, 1)); // new events mark it dirty
    EXPECT_TRUE(renderer.renderInto(1600000, 200, 200, 100, 100, out));
    EXPECT_TRUE(renderer.renderInto(2000000, 200, 200, 100, 100, out));
    EXPECT_TRUE(out.empty);
    EXPECT_FALSE(renderer.renderInto(3000000, 200, 200, 100, 100, out));
}

TEST(SubtitleRenderer, BitmapRectanglesScaleFromTheirCanvas)
{
    struct Row {
        int32_t canvasWidth, canvasHeight; // 0: from the storage size
        int32_t storageWidth, storageHeight;
        int32_t targetWidth, targetHeight;
        // Expected covered box in the overlay: [x0, x1) × [y0, y1).
        int32_t x0, x1, y0, y1;
    };
    // The rectangle is 10 × 10 at (20, 10) on its canvas.
    const Row rows[] = {
        { 100, 50, 0, 0, 100, 50, 20, 30, 10, 20 }, // same size
        { 100, 50, 0, 0, 200, 100, 40, 60, 20, 40 }, // doubled
        { 0, 0, 100, 50, 300, 150, 60, 90, 30, 60 }, // canvas from the storage size
        { 0, 0, 0, 0, 100, 50, 20, 30, 10, 20 }, // neither: the overlay is the canvas
        { 25, 15, 0, 0, 100, 60, 80, 100, 40, 60 }, // cut at the canvas edge
    };
    for (const Row& row : rows) {
        SubtitleRenderer renderer;
        renderer.addBitmapEvent(0, kOpen, row.canvasWidth, row.canvasHeight, solid(20, 10, 10, 10, 255));
        SubtitleOverlay out;
        ASSERT_TRUE(
            renderer.renderInto(0, row.targetWidth, row.targetHeight, row.storageWidth, row.storageHeight, out));
        ASSERT_FALSE(out.empty);
        int32_t x0 = INT32_MAX, x1 = -1, y0 = INT32_MAX, y1 = -1;
        for (int32_t y = 0; y < out.height; ++y)
            for (int32_t x = 0; x < out.width; ++x)
                if (out.pixels[(size_t(y) * out.width + x) * 4 + 3] > 127) {
                    x0 = std::min(x0, x);
                    x1 = std::max(x1, x + 1);
                    y0 = std::min(y0, y);
                    y1 = std::max(y1, y + 1);
                }
        EXPECT_EQ(x0, row.x0) << "target " << row.targetWidth << "x" << row.targetHeight;
        EXPECT_EQ(x1, row.x1) << "target " << row.targetWidth << "x" << row.targetHeight;
        EXPECT_EQ(y0, row.y0) << "target " << row.targetWidth << "x" << row.targetHeight;
        EXPECT_EQ(y1, row.y1) << "target " << row.targetWidth << "x" << row.targetHeight;
    }
}

TEST(SubtitleRenderer, LongEventsAreCutWithOneWarning)
{
    kvr::engine::init_logging();
    SubtitleRenderer renderer;
    SubripFeeder feeder(renderer);
    ASSERT_TRUE(feeder.opened);
    const size_t logFrom = logText().size();
    // Over 64 KiB in an override block ("é" is two bytes; the odd-length field prefix puts the mark inside one)
    // and text that draws far more characters than an event may.
    std::string comment = "{";
    while (comment.size() < 3 * 1024 * 1024)
        comment += "\xC3\xA9\xC3\xA9 ";
    std::string words;
    while (words.size() < 1024 * 1024)
        words += "Wording ";
    const std::string lines[] = { eventLine(comment + "}x"), eventLine(words) };
    renderer.addTextEvent(lines[0].data(), lines[0].size(), 0, 2000);
    renderer.addTextEvent(lines[1].data(), lines[1].size(), 0, 2000);
    const auto events = renderer.textEvents();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_LE(events[0].text.size() + 18, size_t(64 * 1024));
    EXPECT_GT(events[0].text.size() + 18, size_t(64 * 1024 - 4));
    EXPECT_TRUE(looksLikeUtf8(events[0].text));
    EXPECT_EQ(events[1].text, words.substr(0, 4095)); // 4096 characters, of which libass drops the final blank
    EXPECT_EQ(countOf(logText().substr(logFrom), "was cut"), 1u);

    SubtitleOverlay out;
    EXPECT_LT(peakRiseKiB([&] { renderer.renderInto(1000000, 1280, 720, 1280, 720, out); }), 256 * 1024);
    EXPECT_FALSE(out.empty);
}

// More events due at once than are drawn: the first 256 in the track's order are, the rest wait their turn.
TEST(SubtitleRenderer, AtMost256EventsAreDrawnAtOnce)
{
    SubtitleRenderer renderer;
    SubripFeeder feeder(renderer);
    ASSERT_TRUE(feeder.opened);
    // Each event fills its own 10 × 10 cell of a 32-column grid on a 320 × 240 frame; the script's 384 × 288
    // is scaled to it, so the drawing is given in script units (1.2 per pixel).
    for (int i = 0; i < 320; ++i) {
        char drawing[160];
        std::snprintf(drawing, sizeof drawing, "{\\an7\\pos(%d,%d)\\bord0\\shad0\\p1}m 0 0 l 9.6 0 9.6 9.6 0 9.6",
            (i % 32) * 12, (i / 32) * 12);
        const std::string line = eventLine(drawing);
        renderer.addTextEvent(line.data(), line.size(), 1000, 5000);
    }
    ASSERT_EQ(renderer.textEvents().size(), 320u);
    SubtitleOverlay out;
    ASSERT_TRUE(renderer.renderInto(2000000, 320, 240, 320, 240, out));
    ASSERT_FALSE(out.empty);
    int drawnCells = 0;
    for (int i = 0; i < 320; ++i) {
        const int x = (i % 32) * 10 + 4, y = (i / 32) * 10 + 4;
        const bool drawn = out.pixels[(size_t(y) * out.width + x) * 4 + 3] != 0;
        EXPECT_EQ(drawn, i < 256) << "event " << i;
        drawnCells += drawn;
    }
    EXPECT_EQ(drawnCells, 256);
    // The hidden events keep their times for later frames.
    for (const auto& e : renderer.textEvents())
        ASSERT_EQ(e.durationMs, 5000);
}

// Font sizes and scales far beyond the frame are clamped before libass lays them out; what is asked here would
// otherwise take gigabytes.
TEST(SubtitleRenderer, HugeGlyphsAreClamped)
{
    const char* const texts[] = {
        "{\\fs100000}Big",
        "{\\fs1e9}Big",
        "{\\fscx100000\\fscy100000}Wide",
        "{\\fs200\\fs+100\\fs+100\\fs+100\\fs+100}Grown",
        "{\\t(\\fs100000)}Animated",
    };
    for (const char* text : texts) {
        SubtitleRenderer renderer;
        SubripFeeder feeder(renderer);
        ASSERT_TRUE(feeder.opened);
        const std::string line = eventLine(text);
        renderer.addTextEvent(line.data(), line.size(), 0, 5000);
        SubtitleOverlay out;
        EXPECT_LT(peakRiseKiB([&] {
            for (int64_t t : { 1000000, 2500000, 4000000 })
                renderer.renderInto(t, 1280, 720, 1280, 720, out);
        }),
            256 * 1024)
            << text;
    }
}

// A script header may carry events of its own (Matroska's CodecPrivate can); they are bounded like the rest.
TEST(SubtitleRenderer, EventsInTheScriptHeaderAreBoundedToo)
{
    std::string header = "[Script Info]\nScriptType: v4.00+\nPlayResX: 640\nPlayResY: 480\n\n"
                         "[V4+ Styles]\nFormat: Name, Fontname, Fontsize\nStyle: Default,sans-serif,100000\n\n"
                         "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
                         "Dialogue: 0,0:00:00.00,0:00:05.00,Default,,0,0,0,,{\\fscy100000}";
    for (int i = 0; i < 1000; ++i)
        header += "Wording ";
    header += "\n";
    SubtitleRenderer renderer;
    ASSERT_TRUE(renderer.openTextTrack(header.data(), header.size()));
    const auto events = renderer.textEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text.rfind("{\\fscy400}Wording", 0), 0u);
    EXPECT_EQ(events[0].text.size(), std::string("{\\fscy400}").size() + 4096);
    SubtitleOverlay out;
    EXPECT_LT(peakRiseKiB([&] { renderer.renderInto(1000000, 1280, 720, 1280, 720, out); }), 256 * 1024);
    EXPECT_FALSE(out.empty);
}
// Letter spacing is in script units across, stretched by a script far narrower than it is high (6:359: one unit
// is a sixth of the frame); spread that far, a line of a few letters would be drawn gigabytes wide. Bounded, it
// costs what the largest letters do.
TEST(SubtitleRenderer, SpacingIsBoundedWhateverTheScriptsProportions)
{
#ifdef __SANITIZE_THREAD__
    // ThreadSanitizer maps shadow and history memory for every block touched and keeps it, several times the
    // drawing's own: the resident size no longer compares two drawings.
    GTEST_SKIP() << "the resident size says nothing under ThreadSanitizer";
#endif
    // What one blurred word of the largest letters costs, drawn three times, in a script of usual proportions.
    auto cost = [](const std::string& script, const char* text) {
        const std::string header = "[Script Info]\nScriptType: v4.00+\n" + script
            + "\n[V4+ Styles]\nFormat: Name, Fontname, Fontsize, ScaleX, Spacing, Outline\n"
              "Style: Default,sans-serif,359,400,30,8\nStyle: Plain,sans-serif,359,400,0,8\n\n";
        SubtitleRenderer renderer;
        EXPECT_TRUE(renderer.openTextTrack(header.data(), header.size()));
        const std::string line = eventLine(text);
        renderer.addTextEvent(line.data(), line.size(), 0, 5000);
        SubtitleOverlay out;
        const int64_t rise = peakRiseKiB([&] {
            for (int64_t t : { 1000000, 2500000, 4000000 })
                renderer.renderInto(t, 1280, 720, 1280, 720, out);
        });
        EXPECT_FALSE(out.empty);
        return rise;
    };
    const std::string usual = "PlayResX: 384\nPlayResY: 288\n";
    cost(usual, "{\\rPlain}x"); // fonts are set up once per process
    const int64_t normal = cost(usual, "{\\rPlain\\blur20}Spreadwide");
    // At 30 units a gap is 6400 pixels wide on a 1280-pixel frame: the same word took six times the memory. The
    // bound leaves room for what the allocator keeps between two drawings of a large blurred word (seen at 2.4×).
    const std::string narrow = "PlayResX: 6\nPlayResY: 359\n";
    const char* const texts[] = {
        "{\\blur20}Spreadwide",
        "{\\rPlain\\fsp30\\blur20}Spreadwide",
        "{\\rPlain\\fsp-30\\blur20}Spreadwide",
        "{\\rPlain\\t(\\fsp30)\\blur20}Spreadwide",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        EXPECT_LT(cost(narrow, text), 3 * normal + 16 * 1024) << "a usual script's word: " << normal << " KiB";
    }
}

TEST(SubtitleRenderer, ChangeDueForeseesWhetherTheOverlayIsWritten)
{
    // The sink's repaint tick asks changeDue without drawing: it must agree with what renderInto then does.
    enum Kind { Text, Bitmap, Nothing };
    for (const Kind kind : { Text, Bitmap, Nothing }) {
        SCOPED_TRACE(kind == Text ? "text" : kind == Bitmap ? "bitmap" : "no events");
        SubtitleRenderer renderer;
        std::optional<SubripFeeder> feeder;
        if (kind == Text) {
            feeder.emplace(renderer);
            ASSERT_TRUE(feeder->opened);
            feeder->feed("Hello", 1000, 2000);
            feeder->feed("Bye", 2500, 1000);
        } else if (kind == Bitmap) {
            renderer.addBitmapEvent(1000000, 3000000, 100, 100, solid(10, 10, 20, 20, 200));
            renderer.addBitmapEvent(2500000, 3500000, 100, 100, solid(0, 0, 20, 20, 100));
        }
        SubtitleOverlay out;
        renderer.renderInto(0, 320, 180, 320, 180, out); // the first paint, at the size kept from then on
        for (const int64_t t : { 500000, 1000000, 1500000, 2500000, 2600000, 3000000, 3200000, 3600000, 4000000 }) {
            const bool due = renderer.changeDue(t);
            EXPECT_EQ(due, renderer.renderInto(t, 320, 180, 320, 180, out)) << t;
        }
        renderer.flush();
        EXPECT_TRUE(renderer.changeDue(4000000));
        EXPECT_TRUE(renderer.renderInto(4000000, 320, 180, 320, 180, out));
        EXPECT_FALSE(renderer.changeDue(4100000));
    }
}
