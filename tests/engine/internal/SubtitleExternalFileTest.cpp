#include "engine/internal/SubtitleRenderer.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

using namespace kvr::engine::internal;
namespace fs = std::filesystem;

namespace {

fs::path writeFile(const std::string& name, const std::string& bytes)
{
    const fs::path path = kvr::test::scratchDirectory() / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
}

std::string utf16(const std::string& ascii, bool bigEndian)
{
    std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
    for (char c : ascii) {
        out += bigEndian ? '\0' : c;
        out += bigEndian ? c : '\0';
    }
    return out;
}

const std::string kCue = "1\n00:00:01,000 --> 00:00:02,500\n";

} // namespace

TEST(SubtitleRendererLoad, EncodingsAndFormats)
{
    using namespace std::string_literals;
    struct Row {
        const char* name;
        std::string bytes;
        std::string text; // of the first event
    };
    const Row rows[] = {
        { "utf8.srt", kCue + "Caf\xC3\xA9 \xE2\x82\xAC\n\n", "Caf\xC3\xA9 \xE2\x82\xAC" },
        { "utf8-bom.srt", "\xEF\xBB\xBF" + kCue + "Caf\xC3\xA9\n\n", "Caf\xC3\xA9" },
        { "utf16le.srt", utf16(kCue + "Little\n\n", false), "Little" },
        { "utf16be.srt", utf16(kCue + "Big\n\n", true), "Big" },
        { "cp1252.srt", kCue + "Caf\xE9 \x80 \x81\n\n", "Caf\xC3\xA9 \xE2\x82\xAC \xC2\x81" },
        { "srt-inside.txt", kCue + "Probed\n\n", "Probed" },
        { "UPPER.SRT", kCue + "Upper\n\n", "Upper" },
        { "web.vtt", "WEBVTT\n\n00:00:01.000 --> 00:00:02.500\nWeb\n\n", "Web" },
        { "script.ass",
            "[Script Info]\nScriptType: v4.00+\n\n[V4+ Styles]\nFormat: Name, Fontname, Fontsize\nStyle: "
            "Default,Arial,20\n\n"
            "[Events]\nFormat: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
            "Dialogue: 0,0:00:01.00,0:00:02.50,Default,,0,0,0,,Scripted\n",
            "Scripted" },
    };
    for (const Row& row : rows) {
        SubtitleRenderer renderer;
        std::string error = "untouched";
        ASSERT_TRUE(renderer.loadExternalFile(writeFile(row.name, row.bytes).string(), error))
            << row.name << ": " << error;
        const auto events = renderer.textEvents();
        ASSERT_EQ(events.size(), 1u) << row.name;
        EXPECT_EQ(events[0].text, row.text) << row.name;
        EXPECT_EQ(events[0].startMs, 1000) << row.name;
        EXPECT_EQ(events[0].durationMs, 1500) << row.name;
    }
}

TEST(SubtitleRendererLoad, RefusalsSayWhy)
{
    struct Row {
        std::string path;
        std::string error;
    };
    const Row rows[] = {
        { (kvr::test::scratchDirectory() / "missing.srt").string(), "cannot read file" },
        { kvr::test::scratchDirectory().string(), "cannot read file" },
        { kvr::test::fixture("tiny.png").string(), "no subtitle stream" },
        { writeFile("prose.txt", "It was a bright cold day in April, and the clocks were striking thirteen.\n")
                .string(),
            "not a subtitle file (Invalid data found when processing input)" },
        { writeFile("empty.ass",
              "[Script Info]\nScriptType: v4.00+\n\n[Events]\n"
              "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n")
                .string(),
            "the file has no subtitle events" },
        // Endless: reading must stop just past the limit.
        { "/dev/zero", "file too large" },
    };
    for (const Row& row : rows) {
        SubtitleRenderer renderer;
        std::string error;
        EXPECT_FALSE(renderer.loadExternalFile(row.path, error)) << row.path;
        EXPECT_EQ(error, row.error) << row.path;
    }
}

TEST(SubtitleRendererLoad, SixtyFourMebibytesAreTheLimit)
{
    const size_t limit = size_t(64) * 1024 * 1024;
    std::string bytes = kCue + "Large\n\n";
    bytes.resize(limit, '\n');
    const fs::path path = writeFile("large.srt", bytes);

    SubtitleRenderer renderer;
    std::string error;
    EXPECT_TRUE(renderer.loadExternalFile(path.string(), error)) << error;
    EXPECT_EQ(renderer.textEvents().size(), 1u);

    std::ofstream(path, std::ios::binary | std::ios::app) << '\n';
    ASSERT_EQ(fs::file_size(path), limit + 1);
    EXPECT_FALSE(renderer.loadExternalFile(path.string(), error));
    EXPECT_EQ(error, "file too large");
    EXPECT_EQ(renderer.textEvents().size(), 1u); // refused before anything was replaced
}

TEST(SubtitleRendererLoad, ReplacesWhatTheRendererHeld)
{
    SubtitleRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.loadExternalFile(
        writeFile("a.srt", kCue + "First\n\n2\n00:00:03,000 --> 00:00:04,000\nSecond\n\n").string(), error));
    ASSERT_EQ(renderer.textEvents().size(), 2u);
    ASSERT_TRUE(renderer.loadExternalFile(writeFile("b.srt", kCue + "Other\n\n").string(), error));
    const auto events = renderer.textEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text, "Other");
    SubtitleOverlay out;
    EXPECT_TRUE(renderer.renderInto(1500000, 320, 180, 320, 180, out));
    EXPECT_FALSE(out.empty);
}

TEST(SubtitleRendererLoad, CueEndingWhereItStartsIsNotShown)
{
    const std::string cues = "1\n00:00:01,000 --> 00:00:02,000\nBefore\n\n"
                             "2\n00:00:03,000 --> 00:00:03,000\nNever\n\n"
                             "3\n00:00:04,000 --> 00:00:05,000\nAfter\n\n";
    const std::string script = "[Script Info]\nScriptType: v4.00+\n\n[Events]\n"
                               "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n"
                               "Dialogue: 0,0:00:01.00,0:00:02.00,Default,,0,0,0,,Before\n"
                               "Dialogue: 0,0:00:03.00,0:00:03.00,Default,,0,0,0,,Never\n"
                               "Dialogue: 0,0:00:04.00,0:00:05.00,Default,,0,0,0,,After\n";
    const std::string vtt = "WEBVTT\n\n00:00:01.000 --> 00:00:02.000\nBefore\n\n"
                            "00:00:03.000 --> 00:00:03.000\nNever\n\n00:00:04.000 --> 00:00:05.000\nAfter\n\n";
    for (const auto& [name, bytes] :
        { std::pair { "equal.srt", cues }, std::pair { "equal.ass", script }, std::pair { "equal.vtt", vtt } }) {
        SubtitleRenderer renderer;
        std::string error;
        ASSERT_TRUE(renderer.loadExternalFile(writeFile(name, bytes).string(), error)) << name << ": " << error;
        const auto events = renderer.textEvents();
        ASSERT_EQ(events.size(), 2u) << name;
        EXPECT_EQ(events[0].text, "Before") << name;
        EXPECT_EQ(events[1].text, "After") << name;
        struct Moment {
            int64_t timeUs;
            bool drawn;
        };
        for (const Moment m : { Moment { 1500000, true }, Moment { 3000000, false }, Moment { 3100000, false },
                 Moment { 3600000, false }, Moment { 4500000, true } }) {
            SubtitleOverlay out;
            renderer.flush();
            ASSERT_TRUE(renderer.renderInto(m.timeUs, 320, 180, 320, 180, out));
            EXPECT_EQ(!out.empty, m.drawn) << name << " at " << m.timeUs;
        }
    }
}

// The fixture's single cue is one line of 2 MiB: FFmpeg reads only what an event keeps of it.
TEST(SubtitleRendererLoad, OneHugeLineBecomesOneBoundedEvent)
{
    SubtitleRenderer renderer;
    std::string error;
    ASSERT_TRUE(renderer.loadExternalFile(kvr::test::fixture("long-line-subs.srt").string(), error)) << error;
    const auto events = renderer.textEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].text.rfind("Wording Wording", 0), 0u);
    EXPECT_EQ(events[0].text.size(), 4096u); // as many characters as an event may draw
    EXPECT_EQ(events[0].startMs, 300);
    EXPECT_EQ(events[0].durationMs, 1400);
}
