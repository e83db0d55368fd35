#include "engine/convert/TagWriter.h"

#include "engine/convert/MediaProbe.h"
#include "tests/support/TestSupport.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>

using namespace kvr::engine;
namespace fs = std::filesystem;

namespace {

const char* const kNoMuxer = "Tags cannot be written to this file type";
const char* const kRejected = "The container rejected the tags";
const char* const kInUse = "The file is in use or read-only";
const char* const kWriteFailed = "Writing the file failed";
const char* const kOpenFailed = "The file could not be opened";

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Keys in lower case: containers spell them as they like ("TITLE" in Matroska).
using Tags = std::map<std::string, std::string>;

Tags tagsOf(const AVDictionary* dict)
{
    Tags tags;
    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(dict, "", e, AV_DICT_IGNORE_SUFFIX)))
        tags[lower(e->key)] = e->value;
    return tags;
}

Tags probedTags(const fs::path& path)
{
    Tags tags;
    for (const MediaTag& tag : probeMedia(path.string()).tags)
        tags[lower(tag.key)] = tag.value;
    return tags;
}

struct StreamShot {
    int type = 0;
    int codec = 0;
    int disposition = 0;
    int packets = 0;
    std::string picture; // an attached picture's bytes
    std::string displayMatrix; // a video's rotation
    Tags tags; // audio streams only
    bool operator==(const StreamShot&) const = default;
};

struct ChapterShot {
    int64_t startUs = 0;
    int64_t endUs = 0;
    std::string title;
    bool operator==(const ChapterShot&) const = default;
};

// What must survive a tag write: streams, their packet counts, the cover picture and the chapters.
struct Shot {
    std::vector<StreamShot> streams;
    std::vector<ChapterShot> chapters;
};

Shot shotOf(const fs::path& path)
{
    Shot shot;
    AVFormatContext* ctx = nullptr;
    if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0)
        return shot;
    if (avformat_find_stream_info(ctx, nullptr) >= 0) {
        for (unsigned i = 0; i < ctx->nb_streams; ++i) {
            const AVStream* st = ctx->streams[i];
            StreamShot s;
            s.type = st->codecpar->codec_type;
            s.codec = st->codecpar->codec_id;
            s.disposition = st->disposition;
            if (st->disposition & AV_DISPOSITION_ATTACHED_PIC)
                s.picture.assign(reinterpret_cast<const char*>(st->attached_pic.data), st->attached_pic.size);
            size_t size = 0;
            if (const uint8_t* matrix = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &size))
                s.displayMatrix.assign(reinterpret_cast<const char*>(matrix), size);
            if (s.type == AVMEDIA_TYPE_AUDIO)
                s.tags = tagsOf(st->metadata);
            shot.streams.push_back(s);
        }
        for (unsigned i = 0; i < ctx->nb_chapters; ++i) {
            const AVChapter* ch = ctx->chapters[i];
            const AVDictionaryEntry* title = av_dict_get(ch->metadata, "title", nullptr, 0);
            shot.chapters.push_back({ av_rescale_q(ch->start, ch->time_base, AVRational { 1, 1000000 }),
                av_rescale_q(ch->end, ch->time_base, AVRational { 1, 1000000 }), title ? title->value : "" });
        }
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(ctx, pkt) >= 0) {
            if (static_cast<size_t>(pkt->stream_index) < shot.streams.size())
                ++shot.streams[pkt->stream_index].packets;
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&ctx);
    return shot;
}

// A fresh folder per test, holding copies: the fixtures themselves are never written.
fs::path freshFolder(const std::string& name)
{
    const fs::path folder = kvr::test::scratchDirectory() / "tagwriter" / name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

fs::path copyFixture(const std::string& fixture, const fs::path& folder, const std::string& name)
{
    const fs::path target = folder / name;
    fs::copy_file(kvr::test::fixture(fixture), target, fs::copy_options::overwrite_existing);
    return target;
}

std::vector<std::string> leftOvers(const fs::path& folder)
{
    std::vector<std::string> found;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().native().find(".tagtmp") != std::string::npos)
            found.push_back(entry.path().filename().native());
    }
    return found;
}

mode_t modeOf(const fs::path& path)
{
    struct stat st { };
    ::stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

void writeText(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

const TagList kAllTags = {
    { "title", "New Title" },
    { "artist", "New Artist" },
    { "album_artist", "New Band" },
    { "album", "New Album" },
    { "date", "2024" },
    { "genre", "Ambient" },
    { "composer", "New Composer" },
    { "track", "03" },
    { "comment", "" },
};

struct ContainerCase {
    const char* fixture;
    const char* name;
    bool hadComment; // the fixture carries a comment for the write to remove
    bool tagsOnAudioStream; // Ogg family: the tags go on the audio stream too
};

const ContainerCase kContainers[] = {
    { "tagged.flac", "Song.flac", true, false },
    { "cover.mp3", "Tone.mp3", false, false },
    { "tagged.m4a", "Song.m4a", true, false },
    { "tagged.m4a", "Album.M4B", true, false },
    { "tags.ogg", "tags.ogg", false, true },
    { "tagged.opus", "Voice.opus", true, true },
    { "multi.mkv", "multi.mkv", false, false },
    { "rotated.mp4", "Phone.mp4", false, false },
    { "late-chapters.mkv", "Fonts.mkv", false, false },
    { "tagged.flac", "Ünïcødé.flac", true, false },
    { "tagged.flac", "Not\xff\xfeUtf8.flac", true, false },
};

// ASCII only: CTest copies this into test names, and its reports must stay valid text.
void PrintTo(const ContainerCase& c, std::ostream* os)
{
    static const char hex[] = "0123456789abcdef";
    for (const char* p = c.name; *p; ++p) {
        const auto byte = static_cast<unsigned char>(*p);
        if (byte < 128)
            *os << *p;
        else
            *os << "\\x" << hex[byte >> 4] << hex[byte & 15];
    }
}

class TagWriterContainers : public ::testing::TestWithParam<ContainerCase> { };

} // namespace

TEST_P(TagWriterContainers, WritesEveryKeyAndKeepsTheContent)
{
    const ContainerCase& c = GetParam();
    const fs::path folder = freshFolder("containers");
    const fs::path file = copyFixture(c.fixture, folder, c.name);
    fs::permissions(file, static_cast<fs::perms>(0640));
    if (c.hadComment) {
        ASSERT_TRUE(probedTags(file).count("comment"));
    }
    const Shot before = shotOf(file);
    ASSERT_FALSE(before.streams.empty());

    std::string error = "left over from the caller";
    ASSERT_TRUE(writeTags(file.native(), kAllTags, error)) << error;
    EXPECT_EQ(error, "");

    const Tags tags = probedTags(file);
    for (const auto& [key, value] : kAllTags) {
        if (value.empty()) {
            EXPECT_FALSE(tags.count(key)) << key;
        } else if (key == "track") {
            ASSERT_TRUE(tags.count(key));
            EXPECT_EQ(std::stoi(tags.at(key)), 3); // MP4 keeps the number, not its text
        } else {
            EXPECT_EQ(tags.count(key) ? tags.at(key) : "<missing>", value) << key;
        }
    }

    const Shot after = shotOf(file);
    ASSERT_EQ(after.streams.size(), before.streams.size());
    for (size_t i = 0; i < before.streams.size(); ++i) {
        const StreamShot& was = before.streams[i];
        const StreamShot& now = after.streams[i];
        EXPECT_EQ(now.type, was.type) << i;
        EXPECT_EQ(now.codec, was.codec) << i;
        EXPECT_EQ(now.disposition, was.disposition) << i;
        EXPECT_EQ(now.packets, was.packets) << i;
        EXPECT_EQ(now.picture, was.picture) << i;
        EXPECT_EQ(now.displayMatrix, was.displayMatrix) << i;
        if (was.type != AVMEDIA_TYPE_AUDIO)
            continue;
        for (const auto& [key, value] : kAllTags) {
            if (c.tagsOnAudioStream && !value.empty()) {
                EXPECT_TRUE(now.tags.count(key)) << "stream " << i << " lacks " << key;
            } else if (c.tagsOnAudioStream || !was.tags.count(key)) {
                EXPECT_FALSE(now.tags.count(key)) << "stream " << i << " gained " << key;
            }
        }
    }
    EXPECT_EQ(after.chapters, before.chapters);
    EXPECT_EQ(modeOf(file), 0640u);
    EXPECT_TRUE(leftOvers(folder).empty());
}

INSTANTIATE_TEST_SUITE_P(TagWriter, TagWriterContainers, ::testing::ValuesIn(kContainers),
    [](const ::testing::TestParamInfo<ContainerCase>& info) {
        std::string name = std::to_string(info.index) + "_";
        for (const char c : std::string(info.param.name))
            name += std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 128 ? c : '_';
        return name;
    });

// An MP4 audio stream's own key is rewritten with the container's; keys it lacked are not added to it.
TEST(TagWriter, ChangesAStreamKeyOnlyWhereTheStreamHadIt)
{
    const fs::path folder = freshFolder("stream-keys");
    const fs::path file = copyFixture("tagged.m4a", folder, "Song.m4a");
    std::string error;
    ASSERT_TRUE(writeTags(file.native(), { { "handler_name", "New handler" }, { "title", "T" } }, error)) << error;
    const Shot after = shotOf(file);
    ASSERT_FALSE(after.streams.empty());
    ASSERT_EQ(after.streams[0].type, AVMEDIA_TYPE_AUDIO);
    EXPECT_EQ(
        after.streams[0].tags.count("handler_name") ? after.streams[0].tags.at("handler_name") : "", "New handler");
    EXPECT_FALSE(after.streams[0].tags.count("title"));
}

namespace {

// The major brand as ffprobe reports it; "<ffprobe failed>" when it cannot run.
std::string majorBrand(const fs::path& file)
{
    const std::string command
        = "ffprobe -v error -show_entries format_tags=major_brand -of default=nw=1:nk=1 '" + file.native() + "'";
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe)
        return "<ffprobe failed>";
    std::string brand;
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, pipe))
        brand += buffer;
    if (::pclose(pipe) != 0)
        return "<ffprobe failed>";
    while (!brand.empty() && brand.back() == '\n')
        brand.pop_back();
    return brand;
}

} // namespace

// The MP4 muxer would write its own major brand ("isom"); players tell audio files and audiobooks by theirs.
TEST(TagWriter, KeepsTheMajorBrandOfAnMp4File)
{
    struct Case {
        const char* fixture;
        const char* name;
        const char* brand;
    };
    const Case cases[] = {
        { "tagged.m4a", "Song.m4a", "M4A " },
        { "tagged.m4a", "Album.M4B", "M4A " },
        { "rotated.mp4", "Phone.mp4", "isom" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = freshFolder("brand");
        const fs::path file = copyFixture(c.fixture, folder, c.name);
        ASSERT_EQ(majorBrand(file), c.brand);
        std::string error;
        ASSERT_TRUE(writeTags(file.native(), { { "title", "Branded" } }, error)) << error;
        EXPECT_EQ(majorBrand(file), c.brand);
        EXPECT_EQ(probedTags(file)["title"], "Branded");
    }
}

// Containers that drop what they cannot store must not pass for a success; the file stays as it was.
TEST(TagWriter, RefusesWhatTheContainerCannotHold)
{
    struct Case {
        const char* fixture;
        const char* name;
        TagList tags;
        const char* message; // empty: the write succeeds
    };
    const Case cases[] = {
        { "tagged.flac", "no-extension", { { "title", "T" } }, kNoMuxer },
        { "tagged.aac", "Tone.aac", { { "title", "T" } }, kRejected },
        { "tone3.wav", "Tone.wav", { { "title", "T" }, { "artist", "A" }, { "album_artist", "B" } }, kRejected },
        { "tone3.wav", "Tone.wav", { { "title", "T" }, { "artist", "A" } }, "" },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path folder = freshFolder("refused");
        const fs::path file = copyFixture(c.fixture, folder, c.name);
        const std::string bytes = kvr::test::readFile(file);
        std::string error;
        const bool ok = writeTags(file.native(), c.tags, error);
        EXPECT_EQ(error, c.message);
        EXPECT_EQ(ok, std::string(c.message).empty());
        if (!ok) {
            EXPECT_TRUE(kvr::test::readFile(file) == bytes) << "the file changed";
        } else {
            EXPECT_EQ(probedTags(file)["title"], "T");
        }
        EXPECT_TRUE(leftOvers(folder).empty());
    }
}

// A named pipe would block the caller (the GUI thread) for as long as nobody writes into it.
TEST(TagWriter, ReportsFilesItCannotOpen)
{
    const fs::path folder = freshFolder("unopened");
    copyFixture("garbage.mp4", folder, "garbage.mp4");
    fs::create_directory(folder / "folder.flac");
    ASSERT_EQ(::mkfifo((folder / "pipe.flac").c_str(), 0644), 0);
    for (const char* name : { "missing.flac", "garbage.mp4", "folder.flac", "pipe.flac" }) {
        std::string error;
        EXPECT_FALSE(writeTags((folder / name).native(), { { "title", "T" } }, error)) << name;
        EXPECT_EQ(error, kOpenFailed) << name;
    }
    EXPECT_TRUE(leftOvers(folder).empty());
}

// rename(2) replaces a read-only file as readily as any other, and root passes every access() check: the
// mode bits decide.
TEST(TagWriter, LeavesAReadOnlyFileAlone)
{
    const fs::path folder = freshFolder("read-only");
    const fs::path file = copyFixture("tagged.flac", folder, "Song.flac");
    fs::permissions(file, static_cast<fs::perms>(0444));
    const std::string bytes = kvr::test::readFile(file);
    std::string error;
    EXPECT_FALSE(writeTags(file.native(), { { "title", "T" } }, error));
    EXPECT_EQ(error, kInUse);
    EXPECT_TRUE(kvr::test::readFile(file) == bytes);
    EXPECT_EQ(modeOf(file), 0444u);
    EXPECT_TRUE(leftOvers(folder).empty());
}

TEST(TagWriter, RewritesTheTargetOfASymbolicLink)
{
    const fs::path folder = freshFolder("link");
    fs::create_directory(folder / "real");
    fs::create_directory(folder / "links");
    const fs::path target = copyFixture("tagged.flac", folder / "real", "Song.flac");
    const fs::path link = folder / "links" / "Song.flac";
    fs::create_symlink("../real/Song.flac", link);
    std::string error;
    ASSERT_TRUE(writeTags(link.native(), { { "title", "Through the link" } }, error)) << error;
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(fs::read_symlink(link), "../real/Song.flac");
    EXPECT_EQ(probedTags(target)["title"], "Through the link");
    EXPECT_TRUE(leftOvers(folder / "real").empty());
    EXPECT_TRUE(leftOvers(folder / "links").empty());
}

// In a shared folder someone may plant a link under the temporary name: neither the write nor the clean-up
// may reach the file it points at. A plain file of that name is what a crash leaves, and is replaced.
TEST(TagWriter, NeverFollowsWhatLiesUnderTheTemporaryName)
{
    const fs::path folder = freshFolder("planted");
    const fs::path file = copyFixture("tagged.flac", folder, "Song.flac");
    const fs::path victim = folder / "victim.txt";
    writeText(victim, "precious");
    const fs::path temporary = folder / "Song.tagtmp.flac";
    fs::create_symlink("victim.txt", temporary);
    const std::string bytes = kvr::test::readFile(file);

    std::string error;
    EXPECT_FALSE(writeTags(file.native(), { { "title", "T" } }, error));
    EXPECT_EQ(error, kWriteFailed);
    EXPECT_TRUE(kvr::test::readFile(victim) == "precious");
    EXPECT_TRUE(fs::is_symlink(temporary));
    EXPECT_TRUE(kvr::test::readFile(file) == bytes);

    fs::remove(temporary);
    writeText(temporary, "left by a crash");
    ASSERT_TRUE(writeTags(file.native(), { { "title", "After the crash" } }, error)) << error;
    EXPECT_EQ(probedTags(file)["title"], "After the crash");
    EXPECT_TRUE(leftOvers(folder).empty());
}
