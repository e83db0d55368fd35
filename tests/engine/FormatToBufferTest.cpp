#include "engine/FormatToBuffer.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstring>
#include <string>

using kvr::engine::formatToBuffer;

TEST(FormatToBuffer, TruncatesAndReportsTheFullLength)
{
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(formatToBuffer(buf, sizeof buf, "%s-%d", "abcdef", 123), 10);
    EXPECT_STREQ(buf, "abcdef-");

    char one[1] = {'x'};
    EXPECT_EQ(formatToBuffer(one, 1, "%d", 42), 2);
    EXPECT_EQ(one[0], '\0');
}

TEST(FormatToBuffer, SizeZeroWritesNothing)
{
    char buf[4] = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(formatToBuffer(buf, 0, "%s", "hello"), 5);
    EXPECT_EQ(std::string(buf, 4), "abcd");
    EXPECT_EQ(formatToBuffer(nullptr, 0, "%d", 7), 1);
}

TEST(FormatToBuffer, FormatErrorGivesMinusOne)
{
    char buf[16];
    // A wide string that cannot be represented in the C locale's narrow encoding makes printf fail.
    EXPECT_EQ(formatToBuffer(buf, sizeof buf, "%ls", L"\u00e9\u6771"), -1);
    EXPECT_EQ(formatToBuffer(buf, sizeof buf, nullptr), -1);
}

TEST(FormatToBuffer, NumbersUseAPointWhateverTheLocale)
{
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale must be installed";
    char check[16];
    std::snprintf(check, sizeof check, "%.1f", 1.5);
    ASSERT_STREQ(check, "1,5") << "the process locale did not take effect";

    char buf[32];
    EXPECT_EQ(formatToBuffer(buf, sizeof buf, "%.3f", 25.0), 6);
    EXPECT_STREQ(buf, "25.000");
    std::setlocale(LC_ALL, "C");
}
