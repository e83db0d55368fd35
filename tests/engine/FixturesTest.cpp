#include "tests/support/TestSupport.h"

extern "C" {
#include <libavformat/avformat.h>
}
#include <gtest/gtest.h>

#include <map>
#include <string>

namespace {

struct Opened {
    AVFormatContext* ctx = nullptr;
    int result = 0;
    explicit Opened(const std::string& path)
    {
        result = avformat_open_input(&ctx, path.c_str(), nullptr, nullptr);
        if (result >= 0)
            result = avformat_find_stream_info(ctx, nullptr);
    }
    ~Opened() { avformat_close_input(&ctx); }
    std::string tag(const char* key) const
    {
        const AVDictionaryEntry* e = av_dict_get(ctx->metadata, key, nullptr, 0);
        return e ? e->value : "";
    }
};

} // namespace

TEST(Fixtures, EveryFixtureHasTheStreamsItIsMadeFor)
{
    struct Row {
        const char* name;
        int video, audio, subtitle, attached;
    };
    const Row rows[] = {
        {"clip.mp4", 1, 1, 0, 0},      {"multi.mkv", 1, 2, 1, 0},         {"cover.mp3", 0, 1, 0, 1},
        {"video-only.mkv", 1, 0, 0, 0}, {"subtitle-only.mkv", 0, 0, 1, 0},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        Opened f(kvr::test::fixture(r.name).string());
        ASSERT_GE(f.result, 0);
        std::map<int, int> kinds;
        int attached = 0;
        for (unsigned i = 0; i < f.ctx->nb_streams; ++i) {
            const AVStream* st = f.ctx->streams[i];
            if (st->disposition & AV_DISPOSITION_ATTACHED_PIC)
                ++attached;
            else
                ++kinds[st->codecpar->codec_type];
        }
        EXPECT_EQ(kinds[AVMEDIA_TYPE_VIDEO], r.video);
        EXPECT_EQ(kinds[AVMEDIA_TYPE_AUDIO], r.audio);
        EXPECT_EQ(kinds[AVMEDIA_TYPE_SUBTITLE], r.subtitle);
        EXPECT_EQ(attached, r.attached);
    }
}

TEST(Fixtures, ClipAndMultiCarryTheirProperties)
{
    Opened clip(kvr::test::fixture("clip.mp4").string());
    ASSERT_GE(clip.result, 0);
    for (unsigned i = 0; i < clip.ctx->nb_streams; ++i) {
        const AVCodecParameters* p = clip.ctx->streams[i]->codecpar;
        if (p->codec_type == AVMEDIA_TYPE_VIDEO) {
            EXPECT_EQ(p->codec_id, AV_CODEC_ID_H264);
            EXPECT_EQ(p->width, 320);
            EXPECT_EQ(p->height, 240);
            EXPECT_EQ(av_q2d(clip.ctx->streams[i]->avg_frame_rate), 25.0);
        } else {
            EXPECT_EQ(p->codec_id, AV_CODEC_ID_AAC);
            EXPECT_EQ(p->sample_rate, 48000);
            EXPECT_EQ(p->ch_layout.nb_channels, 2);
        }
    }
    EXPECT_NEAR(clip.ctx->duration / double(AV_TIME_BASE), 3.0, 0.1);

    Opened multi(kvr::test::fixture("multi.mkv").string());
    ASSERT_GE(multi.result, 0);
    EXPECT_EQ(multi.ctx->nb_chapters, 2u);
    EXPECT_EQ(multi.tag("title"), "Fixture Title");
    EXPECT_EQ(multi.tag("artist"), "Fixture Artist");
    std::string languages;
    for (unsigned i = 0; i < multi.ctx->nb_streams; ++i) {
        const AVDictionaryEntry* e = av_dict_get(multi.ctx->streams[i]->metadata, "language", nullptr, 0);
        if (multi.ctx->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && e)
            languages += std::string(e->value) + " ";
    }
    EXPECT_EQ(languages, "eng deu ");
}

TEST(Fixtures, BrokenFilesAreThere)
{
    Opened garbage(kvr::test::fixture("garbage.mp4").string());
    EXPECT_LT(garbage.result, 0);
    EXPECT_EQ(std::filesystem::file_size(kvr::test::fixture("truncated.mp4")), 20000u);
}
