#include "engine/internal/Languages.h"

#include <gtest/gtest.h>

using namespace kvr::engine::internal;

TEST(Languages, NormaliseAndCompare)
{
    struct Row {
        const char* tag;
        const char* normalised;
    };
    const Row rows[] = {
        { "GER", "de" },
        { "deu", "de" },
        { "German", "de" },
        { "de", "de" },
        { "eng", "en" },
        { "ENGLISH", "en" },
        { "fre", "fr" },
        { "nob", "no" },
        { "zho", "zh" },
        { "Chinese", "zh" },
        { "pt-BR", "pt-br" },
        { "en-US", "en-us" },
        { "xx", "xx" },
        { "", "" },
        { " eng", " eng" },
    };
    for (const auto& r : rows)
        EXPECT_EQ(normalizeLanguage(r.tag), r.normalised) << r.tag;

    struct Pair {
        const char* a;
        const char* b;
        bool same;
    };
    const Pair pairs[] = {
        { "eng", "English", true },
        { "en", "ENG", true },
        { "ger", "deu", true },
        { "pt-BR", "pt", false },
        { "", "", false },
        { "", "en", false },
        { "en", "", false },
        { "fre", "fra", true },
        { "Klingon", "klingon", true },
        { "en", "de", false },
    };
    for (const auto& p : pairs)
        EXPECT_EQ(sameLanguage(p.a, p.b), p.same) << p.a << " / " << p.b;
}
