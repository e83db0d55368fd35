#include "engine/convert/MediaProbe.h"

#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>

using namespace kvr::engine;

namespace {

std::string tagValue(const MediaInfo& info, const std::string& key)
{
    const auto sameKey = [&key](const MediaTag& tag) {
        return std::equal(tag.key.begin(), tag.key.end(), key.begin(), key.end(),
            [](char a, char b) { return std::tolower(static_cast<unsigned char>(a)) == b; });
    };
    const auto it = std::find_if(info.tags.begin(), info.tags.end(), sameKey);
    return it == info.tags.end() ? std::string("<missing>") : it->value;
}

void expectEmptyRecord(const MediaInfo& info)
{
    EXPECT_EQ(info.path, "");
    EXPECT_EQ(info.formatName, "");
    EXPECT_EQ(info.formatLongName, "");
    EXPECT_EQ(info.durationUs, 0);
    EXPECT_EQ(info.bitRate, 0);
    EXPECT_EQ(info.fileSize, 0);
    EXPECT_TRUE(info.tags.empty());
    EXPECT_TRUE(info.tracks.empty());
    EXPECT_TRUE(info.chapters.empty());
}

} // namespace

TEST(MediaProbe, DescribesTracksChaptersAndTags)
{
    const auto path = kvr::test::fixture("multi.mkv");
    const MediaInfo info = probeMedia(path.string());

    EXPECT_EQ(info.formatName, "matroska,webm");
    EXPECT_NE(info.formatLongName, "");
    EXPECT_NEAR(static_cast<double>(info.durationUs), 3e6, 2e5);
    EXPECT_EQ(info.fileSize, static_cast<int64_t>(std::filesystem::file_size(path)));

    ASSERT_EQ(info.tracks.size(), 4u);
    EXPECT_EQ(info.tracks[0].kind, 0);
    EXPECT_EQ(info.tracks[0].codec, "h264");
    EXPECT_EQ(info.tracks[0].width, 320);
    EXPECT_EQ(info.tracks[1].kind, 1);
    EXPECT_EQ(info.tracks[1].language, "eng");
    EXPECT_EQ(info.tracks[2].kind, 1);
    EXPECT_EQ(info.tracks[2].language, "deu");
    EXPECT_EQ(info.tracks[3].kind, 2);
    EXPECT_EQ(info.tracks[3].language, "eng");

    ASSERT_EQ(info.chapters.size(), 2u);
    EXPECT_EQ(info.chapters[0].title, "Opening");
    EXPECT_EQ(info.chapters[1].title, "Closing");
    EXPECT_EQ(info.chapters[1].startUs, 1'500'000);

    EXPECT_EQ(tagValue(info, "title"), "Fixture Title");
    EXPECT_EQ(tagValue(info, "artist"), "Fixture Artist");
}

TEST(MediaProbe, UnreadableInputGivesTheEmptyRecord)
{
    for (const std::string& path : { (kvr::test::scratchDirectory() / "no-such-file.mp4").string(),
             kvr::test::fixture("garbage.mp4").string(), std::string() }) {
        SCOPED_TRACE(path);
        expectEmptyRecord(probeMedia(path));
    }
}

TEST(MediaProbe, OpensANonAsciiPath)
{
    const auto path = kvr::test::scratchDirectory() / std::filesystem::path(u8"café 東京.mp4");
    std::filesystem::copy_file(kvr::test::fixture("clip.mp4"), path, std::filesystem::copy_options::overwrite_existing);
    const std::string utf8 = path.string();

    const MediaInfo info = probeMedia(utf8);
    EXPECT_EQ(info.path, utf8);
    EXPECT_EQ(info.tracks.size(), 2u);
    EXPECT_GT(info.durationUs, 0);
}

TEST(MediaProbe, ProbingTwiceGivesEqualRecords)
{
    const auto path = kvr::test::fixture("multi.mkv");
    const auto modified = std::filesystem::last_write_time(path);
    const MediaInfo a = probeMedia(path.string());
    const MediaInfo b = probeMedia(path.string());
    ASSERT_EQ(a.tracks.size(), b.tracks.size());
    EXPECT_EQ(a.path, b.path);
    EXPECT_EQ(a.formatName, b.formatName);
    EXPECT_EQ(a.durationUs, b.durationUs);
    EXPECT_EQ(a.bitRate, b.bitRate);
    EXPECT_EQ(a.fileSize, b.fileSize);
    ASSERT_EQ(a.tags.size(), b.tags.size());
    for (size_t i = 0; i < a.tags.size(); ++i) {
        EXPECT_EQ(a.tags[i].key, b.tags[i].key);
        EXPECT_EQ(a.tags[i].value, b.tags[i].value);
    }
    for (size_t i = 0; i < a.tracks.size(); ++i) {
        EXPECT_EQ(a.tracks[i].streamIndex, b.tracks[i].streamIndex);
        EXPECT_EQ(a.tracks[i].codec, b.tracks[i].codec);
        EXPECT_EQ(a.tracks[i].language, b.tracks[i].language);
    }
    ASSERT_EQ(a.chapters.size(), b.chapters.size());
    for (size_t i = 0; i < a.chapters.size(); ++i) {
        EXPECT_EQ(a.chapters[i].startUs, b.chapters[i].startUs);
        EXPECT_EQ(a.chapters[i].endUs, b.chapters[i].endUs);
    }
    EXPECT_EQ(std::filesystem::last_write_time(path), modified);
}
