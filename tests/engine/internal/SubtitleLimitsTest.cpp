#include "engine/internal/SubtitleLimits.h"

#include <gtest/gtest.h>

using namespace kvr::engine::internal;

TEST(SubtitleLimits, PrefixEndsAtACharacter)
{
    struct Row {
        std::string text;
        size_t max;
        size_t expected;
    };
    const Row rows[] = {
        { "abc", 5, 3 },
        { "abc", 2, 2 },
        { "a\xC3\xA9", 2, 1 }, // inside a two-byte sequence
        { "a\xC3\xA9", 3, 3 },
        { "\xE2\x82\xAC\xE2\x82\xAC", 5, 3 }, // inside a three-byte sequence
        { "\xF0\x9F\x98\x80x", 3, 0 }, // inside a four-byte sequence at the start
        { "\xF0\x9F\x98\x80x", 4, 4 },
    };
    for (const Row& row : rows)
        EXPECT_EQ(utf8PrefixLength(row.text, row.max), row.expected) << row.text << " / " << row.max;
}

TEST(SubtitleLimits, LongLinesAreCutWithTheirEndsKept)
{
    struct Row {
        std::string in;
        std::string out;
    };
    const Row rows[] = {
        { "", "" },
        { "abc\nxyzw\n", "abc\nxyzw\n" },
        { "abcdefgh\nxy\n\nabcde", "abcd\nxy\n\nabcd" },
        { "abc\xC3\xA9z\r\n", "abc\n" }, // cut before the two-byte "é"
        { "\n\n\n", "\n\n\n" },
    };
    for (const Row& row : rows) {
        std::string text = row.in;
        cutLongLines(text, 4);
        EXPECT_EQ(text, row.out) << row.in;
    }
}

TEST(SubtitleLimits, GlyphSizesBeyondTheLimitsAreRewritten)
{
    // Script height 720: font sizes up to 720, scales up to 400 %, letter spacing up to 48 either way. The style
    // "Big" has size 600, every other 50.
    const GlyphLimits limits { 720, 400, 48 };
    auto styleSize = [](std::string_view name) { return name == "Big" ? 600.0 : 50.0; };
    struct Row {
        const char* in;
        const char* out;
    };
    const Row rows[] = {
        { "plain text \\fs100000 outside a block", "plain text \\fs100000 outside a block" },
        { "{\\fs100000}Big", "{\\fs720}Big" },
        { "{\\fs 1e9\\bord2}x", "{\\fs 720\\bord2}x" },
        { "{\\fs720}{\\fs60.5}ok", "{\\fs720}{\\fs60.5}ok" },
        { "{\\fscx100000\\fscy401}x{\\fscx400\\fsc\\fsp100000}", "{\\fscx400\\fscy400}x{\\fscx400\\fsc\\fsp48}" },
        { "{\\fsp-1e9\\fsp 48\\fsp-2.5}x{\\t(\\fsp48.5)}", "{\\fsp-48\\fsp 48\\fsp-2.5}x{\\t(\\fsp48)}" },
        // Relative sizes grow from the style's size and are caught where they pass the limit.
        { "{\\fs+10}a{\\fs+10}b{\\fs+10}c{\\fs+10}d", "{\\fs+10}a{\\fs+10}b{\\fs+10}c{\\fs720}d" },
        { "{\\fs700\\fs-5\\fs+10}x", "{\\fs700\\fs-5\\fs+10}x" },
        { "{\\rBig\\fs+5}x{\\r\\fs+5}y", "{\\rBig\\fs720}x{\\r\\fs+5}y" },
        // Inside an animation, and in a block that never closes.
        { "{\\t(0,500,\\fs100000\\fscy1000)}x", "{\\t(0,500,\\fs720\\fscy400)}x" },
        { "{\\fs99999", "{\\fs720" },
        { "{\\fs-3}x{\\fs}y", "{\\fs-3}x{\\fs}y" },
    };
    for (const Row& row : rows) {
        std::string text = row.in;
        const bool changed = clampGlyphSizes(text, limits, styleSize);
        EXPECT_EQ(text, row.out) << row.in;
        EXPECT_EQ(changed, std::string(row.in) != row.out) << row.in;
    }
}

TEST(SubtitleLimits, GlyphCountSkipsBlocksAndCountsADrawingOnce)
{
    struct Row {
        std::string text;
        size_t max;
        size_t keep;
        size_t glyphs;
    };
    const Row rows[] = {
        { "abc", 10, 3, 3 },
        { "abcdef", 4, 4, 4 },
        { "{\\b1\\pos(1,2)}ab{\\i1}cd", 3, 22, 3 }, // blocks cost nothing, the cut comes before "d"
        { "\xC3\xA9\xC3\xA9\xC3\xA9", 2, 4, 2 },
        { "{\\p1}m 0 0 l 10 0 10 10{\\p0}ab", 2, 29, 2 }, // the drawing is one
        { "{\\p1}m 0 0 l 10 0 10 10{\\p0}ab", 1, 28, 1 },
        { "{never closed", 1, 13, 0 },
    };
    for (const Row& row : rows) {
        size_t glyphs = 99;
        EXPECT_EQ(glyphLimitedLength(row.text, row.max, glyphs), row.keep) << row.text;
        EXPECT_EQ(glyphs, row.glyphs) << row.text;
    }
}
