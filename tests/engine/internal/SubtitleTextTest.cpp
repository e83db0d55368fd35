#include "engine/internal/SubtitleText.h"

#include <gtest/gtest.h>

#include <string>

using namespace kvr::engine::internal;

TEST(SubtitleText, BytesBecomeUtf8)
{
    struct Row {
        const char* what;
        std::string bytes;
        std::string text;
    };
    using namespace std::string_literals;
    const Row rows[] = {
        { "plain ASCII", "abc", "abc" },
        { "UTF-8 kept with its mark",
            "\xEF\xBB\xBF"
            "caf\xC3\xA9",
            "\xEF\xBB\xBF"
            "caf\xC3\xA9" },
        { "UTF-16LE",
            "\xFF\xFE"
            "a\0\xE9\0"s,
            "a\xC3\xA9" },
        { "UTF-16BE",
            "\xFE\xFF"
            "\0a\0\xE9"s,
            "a\xC3\xA9" },
        { "UTF-16LE pair",
            "\xFF\xFE"
            "\x3D\xD8\x00\xDE"s,
            "\xF0\x9F\x98\x80" },
        { "UTF-16LE lone high surrogate at the end",
            "\xFF\xFE"
            "a\0\x3D\xD8"s,
            "a\xEF\xBF\xBD" },
        { "UTF-16LE lone low surrogate",
            "\xFF\xFE"
            "\x00\xDEz\0"s,
            "\xEF\xBF\xBDz" },
        { "UTF-16BE odd trailing byte dropped",
            "\xFE\xFF"
            "\0a\0"s,
            "a" },
        { "Windows-1252 euro and undefined bytes", "\x80 \x81\x8D\x8F\x90\x9D",
            "\xE2\x82\xAC \xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D" },
        { "Windows-1252 accents", "caf\xE9 \x9F", "caf\xC3\xA9 \xC5\xB8" },
        { "cut-off UTF-8 sequence", "ab\xE2\x82", "ab\xC3\xA2\xE2\x80\x9A" },
        { "bad continuation", "\xC3(", "\xC3\x83(" },
    };
    for (const Row& row : rows)
        EXPECT_EQ(subtitleTextToUtf8(row.bytes), row.text) << row.what;
}
