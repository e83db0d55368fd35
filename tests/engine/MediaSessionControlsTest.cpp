// Audio tracks, speed, cover art, black bars, the audio tap and the decoder diagnostics through the session.
#include "tests/engine/MediaSessionTestSupport.h"

#include "engine/internal/CoverArt.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/crc.h>
}

#include <sys/resource.h>

#include <cmath>

using namespace kvr::test::session;

namespace {

// Sign changes of the left channel over the newest 4096 frames of the tap; -1 while the tap is not full.
int zeroCrossings(MediaSession& session)
{
    std::vector<float> samples(2 * 4096);
    if (session.recentAudioSamples(samples.data(), 4096) != 4096)
        return -1;
    int n = 0;
    for (size_t i = 2; i < samples.size(); i += 2)
        n += (samples[i - 2] < 0) != (samples[i] < 0);
    return n;
}

// Plays until the tap holds a fresh 4096 frames of this open, then counts its crossings.
int crossingsWhilePlaying(MediaSession& session)
{
    session.play();
    EXPECT_TRUE(waitFor([&] { return zeroCrossings(session) > 0; }, 30s));
    std::this_thread::sleep_for(200ms);
    return zeroCrossings(session);
}

} // namespace

TEST(MediaSession, SwitchesTheAudioTrackAtTheClock)
{
    auto session = makeSession();
    // Streams: 0 video, 1 audio "eng" at 440 Hz, 2 audio "deu" at 880 Hz; 20 s, so the end never comes first.
    ASSERT_TRUE(session->open(kvr::test::fixture("two-tones-20s.mkv"), 0));
    ASSERT_EQ(session->currentAudioTrack(), 1);
    EXPECT_EQ(session->recentAudioSamples(nullptr, 0), 0u);

    // The track already playing: nothing happens.
    const uint64_t generation = session->generation();
    EXPECT_FALSE(session->selectAudioTrack(1));
    EXPECT_EQ(session->generation(), generation);

    // While only Prepared the change reopens and stays Prepared.
    ASSERT_TRUE(session->selectAudioTrack(2));
    EXPECT_EQ(session->state(), PlayerState::Prepared);
    EXPECT_EQ(session->currentAudioTrack(), 2);
    const int high = crossingsWhilePlaying(*session);

    // Paused a second in: the reopen continues there and stays paused.
    ASSERT_TRUE(waitFor([&] { return session->clockUs() > 1'000'000; }, 30s));
    session->pause();
    const int64_t at = session->clockUs();
    ASSERT_TRUE(session->selectAudioTrack(1));
    EXPECT_EQ(session->state(), PlayerState::Paused);
    EXPECT_EQ(session->currentAudioTrack(), 1);
    EXPECT_NEAR(double(session->clockUs()), double(at), 100'000.0);
    EXPECT_NEAR(double(lastOpenStartUs()), double(at), 100'000.0);
    const int low = crossingsWhilePlaying(*session);

    // The tap now carries the other stream: twice the frequency before.
    ASSERT_GT(low, 0);
    EXPECT_NEAR(double(high) / low, 2.0, 0.3) << high << " / " << low;

    session->close();
    EXPECT_EQ(zeroCrossings(*session), -1);
    EXPECT_FALSE(session->selectAudioTrack(2));
}

TEST(MediaSession, SpeedIsClampedAndTinyChangesAreIgnored)
{
    auto session = makeSession();
    // Nothing open: stored for the next open.
    struct Case {
        double requested;
        double stored;
    };
    for (const Case c : { Case { 5.0, 4.0 }, Case { 0.1, 0.25 }, Case { 1.5, 1.5 }, Case { 1.0, 1.0 } }) {
        EXPECT_TRUE(session->setSpeed(c.requested));
        EXPECT_EQ(session->speed(), c.stored) << c.requested;
    }
    ASSERT_TRUE(session->open(kvr::test::fixture("clip.mp4"), 0));
    const uint64_t generation = session->generation();
    EXPECT_TRUE(session->setSpeed(1.0000001));
    EXPECT_EQ(session->speed(), 1.0);
    EXPECT_EQ(session->generation(), generation);
    // A real change reopens, and a Prepared medium stays Prepared.
    EXPECT_TRUE(session->setSpeed(8.0));
    EXPECT_EQ(session->speed(), 4.0);
    EXPECT_NE(session->generation(), generation);
    EXPECT_EQ(session->state(), PlayerState::Prepared);
}

TEST(MediaSession, DecodesCoverArtAsBgra)
{
    struct Case {
        const char* file;
        int32_t width; // 0: no cover art
        int32_t height;
    };
    const Case cases[] = {
        { "cover.mp3", 200, 200 },
        // 6000 x 1500 comes out at 4096 on the longer side.
        { "cover-wide.mp3", 4096, 1024 },
        // A medium with video shows its video instead.
        { "clip.mp4", 0, 0 },
    };
    auto session = makeSession();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        ASSERT_TRUE(session->open(kvr::test::fixture(c.file), 0));
        auto art = session->coverArt();
        if (c.width == 0) {
            EXPECT_FALSE(art);
            continue;
        }
        ASSERT_TRUE(art);
        EXPECT_EQ(art->format, 0);
        EXPECT_EQ(art->pts, -1);
        EXPECT_EQ(art->width, c.width);
        EXPECT_EQ(art->height, c.height);
        EXPECT_EQ(art->bytesStride, c.width * 4);
        ASSERT_EQ(art->bytes.size(), size_t(c.width) * size_t(c.height) * 4);
        for (size_t i = 3; i < art->bytes.size(); i += 4)
            ASSERT_EQ(art->bytes[i], 255);
        // A seek keeps the picture of the fresh open.
        ASSERT_TRUE(session->seek(1'000'000));
        EXPECT_EQ(session->coverArt(), art);
    }
    // The blue picture in BGRA order.
    ASSERT_TRUE(session->open(kvr::test::fixture("cover-wide.mp3"), 0));
    const auto art = session->coverArt();
    ASSERT_TRUE(art);
    const uint8_t* centre = art->bytes.data() + size_t(art->height / 2) * art->bytesStride + size_t(art->width / 2) * 4;
    EXPECT_GT(centre[0], 200);
    EXPECT_LT(centre[1], 60);
    EXPECT_LT(centre[2], 60);
}

TEST(MediaSession, RefusesAnOversizedCoverPictureBeforeDecodingIt)
{
    // A PNG whose header claims 9000 x 9000 RGBA (over the limit, yet small enough that a regression cannot
    // exhaust the machine), with a few bytes of pixel data, and no size declared by the container.
    std::vector<uint8_t> png = { 0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n' };
    auto chunk = [&](const char* type, std::vector<uint8_t> data) {
        const uint32_t length = uint32_t(data.size());
        for (int shift : { 24, 16, 8, 0 })
            png.push_back(uint8_t(length >> shift));
        data.insert(data.begin(), type, type + 4);
        const uint32_t crc
            = av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), 0xFFFFFFFF, data.data(), data.size()) ^ 0xFFFFFFFF;
        png.insert(png.end(), data.begin(), data.end());
        for (int shift : { 24, 16, 8, 0 })
            png.push_back(uint8_t(crc >> shift));
    };
    chunk("IHDR", { 0, 0, 0x23, 0x28, 0, 0, 0x23, 0x28, 8, 6, 0, 0, 0 });
    chunk("IDAT", { 0x78, 0x01, 0x01, 0x05, 0x00, 0xFA, 0xFF, 0, 0, 0, 0, 0 });
    chunk("IEND", {});
    AVPacket* packet = av_packet_alloc();
    ASSERT_EQ(av_new_packet(packet, int(png.size())), 0);
    std::copy(png.begin(), png.end(), packet->data);
    AVCodecParameters* parameters = avcodec_parameters_alloc();
    parameters->codec_type = AVMEDIA_TYPE_VIDEO;
    parameters->codec_id = AV_CODEC_ID_PNG;

    rusage before {};
    getrusage(RUSAGE_SELF, &before);
    EXPECT_FALSE(kvr::engine::internal::decodeCoverArt(parameters, packet));
    rusage after {};
    getrusage(RUSAGE_SELF, &after);
    // Peak resident size in KiB: decoding it allocates and clears 324 MB.
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 64 * 1024);

    // A picture of sane size whose container declares an oversized one is refused without a decoder.
    AVFormatContext* format = nullptr;
    ASSERT_EQ(avformat_open_input(&format, kvr::test::fixture("cover.mp3").c_str(), nullptr, nullptr), 0);
    const AVStream* stream = nullptr;
    for (unsigned i = 0; i < format->nb_streams; ++i)
        if (format->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC)
            stream = format->streams[i];
    ASSERT_TRUE(stream);
    ASSERT_TRUE(kvr::engine::internal::decodeCoverArt(stream->codecpar, &stream->attached_pic));
    avcodec_parameters_copy(parameters, stream->codecpar);
    parameters->width = 30000;
    parameters->height = 30000;
    EXPECT_FALSE(kvr::engine::internal::decodeCoverArt(parameters, &stream->attached_pic));

    avformat_close_input(&format);
    avcodec_parameters_free(&parameters);
    av_packet_free(&packet);
}

TEST(MediaSession, MeasuresBlackBarsAndReportsItsDecoders)
{
    auto session = makeSession();
    int32_t l = -1, t = -1, r = -1, b = -1;
    EXPECT_FALSE(session->detectBlackBars(l, t, r, b));
    EXPECT_EQ(session->videoFilterDescription(), "");

    kvr::engine::VideoFilters filters;
    filters.brightness = 0.05;
    session->setVideoFilters(filters);
    kvr::engine::AudioEffects effects;
    effects.eqEnabled = true;
    effects.bands[0] = 6;
    session->setAudioEffects(effects);
    ASSERT_TRUE(session->open(kvr::test::fixture("letterbox.mp4"), 0));
    EXPECT_FALSE(session->detectBlackBars(l, t, r, b)); // no frame taken yet
    session->play();
    ASSERT_TRUE(waitFor([&] { return session->takeFrame(session->videoClockUs(), true) != nullptr; }, 30s));
    ASSERT_TRUE(session->detectBlackBars(l, t, r, b));
    EXPECT_EQ(std::vector<int32_t>({ l, t, r, b }), std::vector<int32_t>({ 0, 40, 0, 40 }));

    // Diagnostics of the running video decoder (the machines here decode in software).
    EXPECT_FALSE(session->usesHardwareDecoding());
    EXPECT_NE(session->videoFilterDescription().find("lutyuv="), std::string::npos)
        << session->videoFilterDescription();
    EXPECT_GE(session->videoFilterMs(), 0.0);
    EXPECT_EQ(session->videoTransferMs(), 0.0);
    session->close();
    EXPECT_EQ(session->videoFilterDescription(), "");
    EXPECT_EQ(session->videoFilterMs(), 0.0);

    // The audio decoder's running chain.
    ASSERT_TRUE(session->open(kvr::test::fixture("tone44k.flac"), 0));
    session->play();
    EXPECT_TRUE(waitFor([&] { return !session->audioFilterDescription().empty(); }, 30s));
    session->close();
    EXPECT_EQ(session->audioFilterDescription(), "");
}
