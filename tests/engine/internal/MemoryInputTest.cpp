#include "engine/internal/MemoryInput.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <string>

using namespace kvr::engine::internal;

TEST(MemoryInput, SeekTable)
{
    const std::string text = "0123456789";
    struct Row {
        int64_t start;
        int64_t offset;
        int whence;
        int64_t result;
        int64_t positionAfter;
    };
    const Row rows[] = {
        { 0, 4, SEEK_SET, 4, 4 },
        { 4, 3, SEEK_CUR, 7, 7 },
        { 4, -2, SEEK_END, 8, 8 },
        { 4, 0, SEEK_END, 10, 10 },
        { 4, 1, SEEK_END, -1, 4 },
        { 4, -11, SEEK_END, -1, 4 },
        { 4, -1, SEEK_SET, -1, 4 },
        { 4, 11, SEEK_SET, -1, 4 },
        { 4, -5, SEEK_CUR, -1, 4 },
        { 4, 0, AVSEEK_SIZE, 10, 4 },
        { 4, 2, SEEK_SET | AVSEEK_FORCE, 2, 2 },
        { 4, 0, 7, -1, 4 },
        { 4, INT64_MAX, SEEK_CUR, -1, 4 },
        { 4, INT64_MAX, SEEK_END, -1, 4 },
        { 4, INT64_MIN, SEEK_END, -1, 4 },
    };
    for (const Row& row : rows) {
        MemoryInput in { reinterpret_cast<const uint8_t*>(text.data()), int64_t(text.size()), row.start };
        EXPECT_EQ(memorySeek(&in, row.offset, row.whence), row.result)
            << "offset " << row.offset << " whence " << row.whence;
        EXPECT_EQ(in.position, row.positionAfter) << "offset " << row.offset << " whence " << row.whence;
    }
}

TEST(MemoryInput, ReadsWhatRemainsThenEndOfFile)
{
    const std::string text = "0123456789";
    MemoryInput in { reinterpret_cast<const uint8_t*>(text.data()), int64_t(text.size()), 0 };
    uint8_t buffer[8];
    ASSERT_EQ(memoryRead(&in, buffer, 8), 8);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 8), "01234567");
    ASSERT_EQ(memoryRead(&in, buffer, 8), 2);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), 2), "89");
    EXPECT_EQ(memoryRead(&in, buffer, 8), AVERROR_EOF);
    EXPECT_EQ(in.position, 10);
}
