#include "engine/FilterChains.h"

extern "C" {
#include <libavfilter/avfilter.h>
#include <libavutil/channel_layout.h>
#include <libavutil/error.h>
#include <libavutil/pixfmt.h>
}

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <vector>

using namespace kvr::engine;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::string kStereo48 = "aformat=sample_fmts=fltp:sample_rates=48000:channel_layouts=stereo";
const std::string kSurround48 = "aformat=sample_fmts=fltp:sample_rates=48000:channel_layouts=5.1";

AudioEffects audio(const std::function<void(AudioEffects&)>& edit)
{
    AudioEffects e;
    edit(e);
    return e;
}

VideoFilters video(const std::function<void(VideoFilters&)>& edit)
{
    VideoFilters f;
    edit(f);
    return f;
}

AudioEffectStage stage(int32_t kind, std::map<std::string, double> params = {}, bool enabled = true)
{
    AudioEffectStage s;
    s.kind = kind;
    s.enabled = enabled;
    s.params = std::move(params);
    return s;
}

struct NumberCase {
    double value;
    const char* expected;
};

const std::vector<NumberCase> kNumbers = {
    { 1.5, "1.5" },
    { 2, "2" },
    { 0, "0" },
    { -0.25, "-0.25" },
    { 0.123456, "0.1235" },
    { 100, "100" },
    { 10.05, "10.05" },
    { 1e20, "100000000000000000000" },
    { -0.00001, "-0" },
};

struct TempoCase {
    double speed;
    const char* expected;
};

const std::vector<TempoCase> kTempos = {
    { 1.5, "atempo=1.5" },
    { 3.0, "atempo=2.0,atempo=1.5" },
    { 4.0, "atempo=2.0,atempo=2" },
    { 0.25, "atempo=0.5,atempo=0.5" },
    { 0.3, "atempo=0.5,atempo=0.6" },
    { 1.0, "atempo=1" },
    // These would never leave the halving/doubling loops.
    { 0.0, "atempo=1" },
    { -2.0, "atempo=1" },
    { kInf, "atempo=1" },
    { kNaN, "atempo=1" },
};

struct AudioCase {
    const char* name;
    AudioEffects effects;
    double speed;
    double gainDb;
    int sampleRate;
    int channels;
    std::string expected;
};

const std::vector<AudioCase>& audioCases()
{
    static const std::vector<AudioCase> cases = [] {
        const std::string eqBand0At3 = kStereo48
            + ",volume@preamp=volume=0dB,equalizer@eq0=f=31:t=o:w=1:g=3,equalizer@eq1=f=62:t=o:w=1:g=0"
              ",equalizer@eq2=f=125:t=o:w=1:g=0,equalizer@eq3=f=250:t=o:w=1:g=0,equalizer@eq4=f=500:t=o:w=1:g=0"
              ",equalizer@eq5=f=1000:t=o:w=1:g=0,equalizer@eq6=f=2000:t=o:w=1:g=0"
              ",equalizer@eq7=f=4000:t=o:w=1:g=0,equalizer@eq8=f=8000:t=o:w=1:g=0"
              ",equalizer@eq9=f=16000:t=o:w=1:g=0";
        std::vector<AudioEffectStage> defaultStages;
        for (int32_t kind = 0; kind < 6; ++kind)
            defaultStages.push_back(stage(kind));
        const std::vector<AudioEffectStage> clampedStages = {
            stage(AudioEffectStage::Compressor,
                { { "threshold", -80 }, { "ratio", 0.5 }, { "attack", 0 }, { "release", 1e6 }, { "makeup", 50 } }),
            stage(AudioEffectStage::Compressor, { { "threshold", 6 }, { "ratio", 50 }, { "attack", 5000 } }),
            stage(AudioEffectStage::Limiter, { { "limit", 5 }, { "attack", 0 }, { "release", 10000 } }),
            stage(AudioEffectStage::Limiter, { { "limit", -30 }, { "attack", 100 }, { "release", 0 } }),
            stage(AudioEffectStage::Widener, { { "amount", 9 } }),
            stage(AudioEffectStage::Bass, { { "gain", -30 }, { "frequency", 10 } }),
            stage(AudioEffectStage::Treble, { { "gain", 25 }, { "frequency", 20000 } }),
            stage(AudioEffectStage::Voice, { { "amount", -1 } }),
        };

        return std::vector<AudioCase> {
            { "defaults", {}, 1.0, 0, 48000, 2, "" },
            { "speed only", {}, 1.25, 0, 44100, 6,
                "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=5.1,atempo=1.25" },
            { "speed without pitch", audio([](auto& e) { e.preservePitch = false; }), 1.25, 0, 44100, 6,
                "aformat=sample_fmts=fltp:sample_rates=44100:channel_layouts=5.1,asetrate=55125,aresample=44100" },
            { "speed 4", {}, 4.0, 0, 48000, 2, kStereo48 + ",atempo=2.0,atempo=2" },
            { "speed 0.3", {}, 0.3, 0, 48000, 2, kStereo48 + ",atempo=0.5,atempo=0.6" },
            { "bypass", audio([](auto& e) {
                 e.bypass = true;
                 e.eqEnabled = true;
                 e.bands.fill(6);
                 e.mono = true;
             }),
                1.0, 0, 48000, 2, "" },
            { "bypass keeps the speed", audio([](auto& e) {
                 e.bypass = true;
                 e.eqEnabled = true;
                 e.bands.fill(6);
             }),
                1.5, 0, 48000, 2, kStereo48 + ",atempo=1.5" },
            { "flat equaliser", audio([](auto& e) { e.eqEnabled = true; }), 1.0, 0, 48000, 2, "" },
            { "equaliser band 0", audio([](auto& e) {
                 e.eqEnabled = true;
                 e.bands[0] = 3;
             }),
                1.0, 0, 48000, 2, eqBand0At3 },
            { "replaygain album", audio([](auto& e) {
                 e.normalize = AudioEffects::NormalizeReplayGainAlbum;
                 e.replayGainPreamp = 2;
             }),
                1.5, -6.5, 48000, 2,
                kStereo48 + ",volume@rg=volume=-4.5dB,alimiter=limit=-1dB:level=disabled,atempo=1.5" },
            { "replaygain near zero", audio([](auto& e) {
                 e.normalize = AudioEffects::NormalizeReplayGainTrack;
                 e.replayGainPreamp = 2;
             }),
                1.0, -1.9995, 48000, 2, kStereo48 + ",alimiter=limit=-1dB:level=disabled" },
            { "ebu r128 after stages and pan", audio([](auto& e) {
                 e.normalize = AudioEffects::NormalizeEbuR128;
                 e.truePeak = -12;
                 e.replayGainPreamp = 5;
                 e.swapChannels = true;
                 e.chain = { stage(AudioEffectStage::Bass) };
             }),
                1.0, 3.2, 48000, 2,
                kStereo48
                    + ",bass=g=6:f=100,pan=stereo|c0=c1|c1=c0,volume@rg=volume=3.2dB"
                      ",alimiter=limit=-9dB:level=disabled" },
            { "stage defaults", audio([&](auto& e) { e.chain = defaultStages; }), 1.0, 0, 48000, 2,
                kStereo48
                    + ",acompressor=threshold=-20dB:ratio=3:attack=10:release=200:makeup=0dB"
                      ",alimiter=limit=-1dB:attack=5:release=50:level=disabled,extrastereo=m=1.5,bass=g=6:f=100"
                      ",treble=g=6:f=3000,highpass=f=90,equalizer=f=2800:t=o:w=1.4:g=5" },
            { "stage clamps", audio([&](auto& e) { e.chain = clampedStages; }), 1.0, 0, 48000, 2,
                kStereo48
                    + ",acompressor=threshold=-60dB:ratio=1:attack=0.01:release=9000:makeup=36dB"
                      ",acompressor=threshold=0dB:ratio=20:attack=2000:release=200:makeup=0dB"
                      ",alimiter=limit=0dB:attack=0.1:release=8000:level=disabled"
                      ",alimiter=limit=-24dB:attack=80:release=1:level=disabled,extrastereo=m=4,bass=g=-20:f=20"
                      ",treble=g=20:f=16000,highpass=f=90,equalizer=f=2800:t=o:w=1.4:g=0" },
            { "disabled and unknown stages", audio([](auto& e) {
                 e.chain = { stage(AudioEffectStage::Compressor, {}, false), stage(17),
                     stage(AudioEffectStage::Treble, { { "gain", -3 } }) };
             }),
                1.0, 0, 48000, 2, kStereo48 + ",treble=g=-3:f=3000" },
            { "widener on mono", audio([](auto& e) { e.chain = { stage(AudioEffectStage::Widener) }; }), 1.0, 0, 48000,
                1, "aformat=sample_fmts=fltp:sample_rates=48000:channel_layouts=mono" },
            { "mono wins over swap", audio([](auto& e) {
                 e.mono = true;
                 e.swapChannels = true;
             }),
                1.0, 0, 48000, 2, kStereo48 + ",pan=stereo|c0=0.5*c0+0.5*c1|c1=0.5*c0+0.5*c1" },
            { "mono on 5.1", audio([](auto& e) { e.mono = true; }), 1.0, 0, 48000, 6,
                kSurround48 + ",pan=mono|c0=c0+c1" },
            { "swap on 5.1", audio([](auto& e) { e.swapChannels = true; }), 1.0, 0, 48000, 6, kSurround48 },
            { "three channels have no layout", audio([](auto& e) { e.mono = true; }), 1.0, 0, 48000, 3,
                "aformat=sample_fmts=fltp:sample_rates=48000,pan=mono|c0=c0+c1" },
            // Non-finite input never reaches the text: gains count as 0, stage values take their defaults.
            { "infinite replaygain tag", audio([](auto& e) { e.normalize = AudioEffects::NormalizeReplayGainTrack; }),
                1.0, kInf, 48000, 2, kStereo48 + ",alimiter=limit=-1dB:level=disabled" },
            { "non-finite loudness gain and ceiling", audio([](auto& e) {
                 e.normalize = AudioEffects::NormalizeEbuR128;
                 e.truePeak = kNaN;
             }),
                1.0, kNaN, 48000, 2, kStereo48 + ",alimiter=limit=-1dB:level=disabled" },
            { "non-finite replaygain preamp", audio([](auto& e) {
                 e.normalize = AudioEffects::NormalizeReplayGainAlbum;
                 e.replayGainPreamp = -kInf;
             }),
                1.0, -2, 48000, 2, kStereo48 + ",volume@rg=volume=-2dB,alimiter=limit=-1dB:level=disabled" },
            { "non-finite stage parameters", audio([](auto& e) {
                 e.chain = { stage(AudioEffectStage::Compressor, { { "threshold", -kInf }, { "makeup", kInf } }),
                     stage(AudioEffectStage::Bass, { { "gain", kNaN } }) };
             }),
                1.0, 0, 48000, 2,
                kStereo48 + ",acompressor=threshold=-20dB:ratio=3:attack=10:release=200:makeup=0dB,bass=g=6:f=100" },
            { "non-finite equaliser gains", audio([](auto& e) {
                 e.eqEnabled = true;
                 e.preamp = kInf;
                 e.bands.fill(kNaN);
                 e.bands[0] = 3;
             }),
                1.0, 0, 48000, 2, eqBand0At3 },
            { "only non-finite equaliser gains", audio([](auto& e) {
                 e.eqEnabled = true;
                 e.preamp = kNaN;
                 e.bands.fill(kInf);
             }),
                1.0, 0, 48000, 2, "" },
            { "non-finite speed", audio([](auto& e) { e.mono = true; }), kNaN, 0, 48000, 2,
                kStereo48 + ",pan=stereo|c0=0.5*c0+0.5*c1|c1=0.5*c0+0.5*c1" },
            { "zero speed", {}, 0.0, 0, 48000, 2, "" },
        };
    }();
    return cases;
}

struct VideoCase {
    const char* name;
    VideoFilters filters;
    std::string expected;
};

const std::vector<VideoCase>& videoCases()
{
    static const std::vector<VideoCase> cases = [] {
        std::vector<VideoCase> cases = {
            { "defaults", {}, "" },
            { "deinterlace auto", video([](auto& f) { f.deinterlace = 1; }), "bwdif=mode=send_field:deint=interlaced" },
            { "yadif every frame", video([](auto& f) {
                 f.deinterlace = 2;
                 f.deinterlaceMethod = "yadif";
                 f.deinterlaceFieldRate = false;
             }),
                "yadif=mode=send_frame:deint=all" },
            { "w3fdif", video([](auto& f) {
                 f.deinterlace = 1;
                 f.deinterlaceMethod = "w3fdif";
             }),
                "w3fdif=deint=interlaced" },
            { "estdif per field", video([](auto& f) {
                 f.deinterlace = 2;
                 f.deinterlaceMethod = "estdif";
             }),
                "estdif=mode=field:deint=all" },
            { "estdif per frame", video([](auto& f) {
                 f.deinterlace = 1;
                 f.deinterlaceMethod = "estdif";
                 f.deinterlaceFieldRate = false;
             }),
                "estdif=mode=frame:deint=interlaced" },
            { "unknown deinterlacer", video([](auto& f) {
                 f.deinterlace = 2;
                 f.deinterlaceMethod = "kerndeint";
             }),
                "" },
            { "nlmeans above 3", video([](auto& f) {
                 f.denoise = 7;
                 f.denoiseMethod = "nlmeans";
             }),
                "nlmeans=s=5:p=7:r=15" },
            { "fftdnoiz 1", video([](auto& f) {
                 f.denoise = 1;
                 f.denoiseMethod = "fftdnoiz";
             }),
                "fftdnoiz=sigma=2" },
            { "unknown denoiser", video([](auto& f) {
                 f.denoise = 2;
                 f.denoiseMethod = "hqdn3d";
             }),
                "atadenoise=s=9" },
            { "atadenoise 3", video([](auto& f) { f.denoise = 3; }), "atadenoise=s=15:0a=0.04:1a=0.04" },
            { "crop", video([](auto& f) {
                 f.cropLeft = 10;
                 f.cropRight = 10;
                 f.cropBottom = 20;
             }),
                "crop=w=iw-20:h=ih-20:x=10:y=0:exact=1" },
            { "negative crop", video([](auto& f) { f.cropTop = -5; }), "" },
            { "rotate -90", video([](auto& f) { f.rotate = -90; }), "transpose=cclock" },
            { "rotate 450", video([](auto& f) { f.rotate = 450; }), "transpose=clock" },
            { "rotate 180", video([](auto& f) { f.rotate = 180; }), "hflip,vflip" },
            { "rotate 45", video([](auto& f) { f.rotate = 45; }), "" },
            { "flips", video([](auto& f) {
                 f.vflip = true;
                 f.hflip = true;
             }),
                "hflip,vflip" },
            { "contrast and brightness", video([](auto& f) {
                 f.contrast = 1.2;
                 f.brightness = 0.1;
             }),
                "lutyuv=y='maxval*pow(clip(((val/maxval)-0.5)*1.2+0.5+0.1,0,1),1)'" },
            { "negative brightness and gamma", video([](auto& f) {
                 f.brightness = -0.1;
                 f.gamma = 2;
             }),
                "lutyuv=y='maxval*pow(clip(((val/maxval)-0.5)*1+0.5+-0.1,0,1),0.5)'" },
            { "colour clamps", video([](auto& f) {
                 f.contrast = 5;
                 f.gamma = 0;
                 f.brightness = -3;
                 f.saturation = 3;
                 f.hue = -400;
                 f.temperature = 50000;
             }),
                "lutyuv=y='maxval*pow(clip(((val/maxval)-0.5)*2+0.5+-1,0,1),10)',hue=h=-180:s=2"
                ",colortemperature=temperature=40000" },
            { "hue and saturation", video([](auto& f) {
                 f.hue = 30;
                 f.saturation = 1.5;
             }),
                "hue=h=30:s=1.5" },
            { "temperature within a kelvin", video([](auto& f) { f.temperature = 6500.5; }), "" },
            { "temperature 100", video([](auto& f) { f.temperature = 100; }), "colortemperature=temperature=1000" },
            { "unsharp 1", video([](auto& f) {
                 f.sharpen = 1;
                 f.sharpenMethod = "unsharp";
             }),
                "unsharp=5:5:0.5" },
            { "cas above 3", video([](auto& f) { f.sharpen = 9; }), "cas=strength=0.9" },
            { "deband 2", video([](auto& f) { f.deband = 2; }), "gradfun=strength=1.6:radius=16" },
            { "interpolation 300", video([](auto& f) {
                 f.interpolate = true;
                 f.interpolateFps = 300;
             }),
                "minterpolate=fps=144:mi_mode=mci:mc_mode=obmc:me_mode=bidir:vsbmc=1" },
            { "interpolation 10", video([](auto& f) {
                 f.interpolate = true;
                 f.interpolateFps = 10;
             }),
                "minterpolate=fps=24:mi_mode=mci:mc_mode=obmc:me_mode=bidir:vsbmc=1" },
            { "everything in order", video([](auto& f) {
                 f.deinterlace = 1;
                 f.denoise = 1;
                 f.cropTop = 8;
                 f.rotate = 90;
                 f.hflip = true;
                 f.saturation = 0.5;
                 f.sharpen = 2;
                 f.deband = 3;
             }),
                "bwdif=mode=send_field:deint=interlaced,atadenoise=s=5,crop=w=iw-0:h=ih-8:x=0:y=8:exact=1"
                ",transpose=clock,hflip,hue=h=0:s=0.5,cas=strength=0.6,gradfun=strength=3:radius=24" },
            { "bypass", video([](auto& f) {
                 f.bypass = true;
                 f.deinterlace = 2;
                 f.contrast = 1.5;
                 f.interpolate = true;
             }),
                "" },
            // A non-finite colour value counts as neutral.
            { "non-finite colour", video([](auto& f) {
                 f.brightness = kNaN;
                 f.contrast = kInf;
                 f.gamma = -kInf;
                 f.temperature = kInf;
             }),
                "" },
            { "non-finite hue", video([](auto& f) {
                 f.hue = kNaN;
                 f.saturation = 1.5;
             }),
                "hue=h=0:s=1.5" },
        };
        // Every cell of the strength presets.
        struct Preset {
            int32_t VideoFilters::*level;
            std::string VideoFilters::*method;
            const char* name;
            const char* texts[3];
        };
        const Preset presets[] = {
            { &VideoFilters::denoise, &VideoFilters::denoiseMethod, "nlmeans",
                { "nlmeans=s=1.5:p=5:r=9", "nlmeans=s=3:p=7:r=11", "nlmeans=s=5:p=7:r=15" } },
            { &VideoFilters::denoise, &VideoFilters::denoiseMethod, "fftdnoiz",
                { "fftdnoiz=sigma=2", "fftdnoiz=sigma=4", "fftdnoiz=sigma=8" } },
            { &VideoFilters::denoise, &VideoFilters::denoiseMethod, "atadenoise",
                { "atadenoise=s=5", "atadenoise=s=9", "atadenoise=s=15:0a=0.04:1a=0.04" } },
            { &VideoFilters::sharpen, &VideoFilters::sharpenMethod, "unsharp",
                { "unsharp=5:5:0.5", "unsharp=5:5:1.0", "unsharp=5:5:1.6" } },
            { &VideoFilters::sharpen, &VideoFilters::sharpenMethod, "cas",
                { "cas=strength=0.3", "cas=strength=0.6", "cas=strength=0.9" } },
            { &VideoFilters::deband, nullptr, "gradfun",
                { "gradfun=strength=0.8:radius=12", "gradfun=strength=1.6:radius=16",
                    "gradfun=strength=3:radius=24" } },
        };
        for (const Preset& p : presets)
            for (int32_t level = 1; level <= 3; ++level) {
                VideoFilters f;
                f.*p.level = level;
                if (p.method)
                    f.*p.method = p.name;
                cases.push_back({ p.name, f, p.texts[level - 1] });
            }
        return cases;
    }();
    return cases;
}

// Every expectation of the tables above; shared by the plain run and the run under a decimal-comma locale.
void expectTables()
{
    for (const auto& c : kNumbers)
        EXPECT_EQ(formatNumber(c.value), c.expected) << "formatNumber(" << c.value << ")";
    for (const auto& c : kTempos)
        EXPECT_EQ(buildTempoChain(c.speed), c.expected) << "buildTempoChain(" << c.speed << ")";
    for (const auto& c : audioCases())
        EXPECT_EQ(buildAudioFilterChain(c.effects, c.speed, c.gainDb, c.sampleRate, c.channels), c.expected)
            << "audio case: " << c.name;
    for (const auto& c : videoCases())
        EXPECT_EQ(buildVideoFilterChain(c.filters), c.expected) << "video case: " << c.name;
}

std::string avError(int code)
{
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof text);
    return text;
}

// Builds description between a source and a sink the way the decoders do, and configures the graph.
// Returns the FFmpeg error text, empty on success.
std::string configure(
    const char* sourceName, const std::string& sourceArgs, const char* sinkName, const std::string& description)
{
    AVFilterGraph* graph = avfilter_graph_alloc();
    AVFilterContext* source = nullptr;
    AVFilterContext* sink = nullptr;
    int rc = avfilter_graph_create_filter(
        &source, avfilter_get_by_name(sourceName), "in", sourceArgs.c_str(), nullptr, graph);
    if (rc >= 0)
        rc = avfilter_graph_create_filter(&sink, avfilter_get_by_name(sinkName), "out", nullptr, nullptr, graph);
    if (rc < 0) {
        avfilter_graph_free(&graph);
        return "source or sink: " + avError(rc);
    }
    AVFilterInOut* outputs = avfilter_inout_alloc();
    AVFilterInOut* inputs = avfilter_inout_alloc();
    outputs->name = av_strdup("in");
    outputs->filter_ctx = source;
    inputs->name = av_strdup("out");
    inputs->filter_ctx = sink;
    rc = avfilter_graph_parse_ptr(graph, description.c_str(), &inputs, &outputs, nullptr);
    avfilter_inout_free(&inputs);
    avfilter_inout_free(&outputs);
    std::string error;
    if (rc < 0)
        error = "parse: " + avError(rc);
    else if ((rc = avfilter_graph_config(graph, nullptr)) < 0)
        error = "config: " + avError(rc);
    avfilter_graph_free(&graph);
    return error;
}

std::string defaultLayout(int channels)
{
    AVChannelLayout layout;
    av_channel_layout_default(&layout, channels);
    char text[128] = {};
    av_channel_layout_describe(&layout, text, sizeof text);
    av_channel_layout_uninit(&layout);
    return text;
}

} // namespace

TEST(FilterChains, TextsMatchTheTablesByteForByte)
{
    expectTables();
}

TEST(FilterChains, SameBytesUnderADecimalCommaLocale)
{
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale must be installed";
    char check[16];
    std::snprintf(check, sizeof check, "%.1f", 1.5);
    ASSERT_STREQ(check, "1,5") << "the process locale did not take effect";
    expectTables();
    std::setlocale(LC_ALL, "C");
}

TEST(FilterChains, EveryChainConfiguresInLibavfilter)
{
    for (const auto& c : audioCases()) {
        const std::string chain = buildAudioFilterChain(c.effects, c.speed, c.gainDb, c.sampleRate, c.channels);
        if (chain.empty())
            continue;
        const std::string layout = defaultLayout(c.channels);
        const std::string source = "time_base=1/" + std::to_string(c.sampleRate)
            + ":sample_rate=" + std::to_string(c.sampleRate) + ":sample_fmt=s16:channel_layout=" + layout;
        const std::string text = chain + ",aformat=sample_fmts=flt:sample_rates=" + std::to_string(c.sampleRate)
            + ":channel_layouts=" + layout;
        EXPECT_EQ(configure("abuffer", source, "abuffersink", text), "") << c.name << ": " << text;
        const std::string shape = buildAudioFilterShape(c.effects, c.speed, c.gainDb, c.sampleRate, c.channels);
        EXPECT_EQ(configure("abuffer", source, "abuffersink", shape), "") << c.name << " shape: " << shape;
    }
    for (const auto& c : kTempos) {
        const std::string text = buildTempoChain(c.speed);
        EXPECT_EQ(configure("abuffer", "time_base=1/48000:sample_rate=48000:sample_fmt=flt:channel_layout=stereo",
                      "abuffersink", text),
            "")
            << text;
    }
    const std::string videoSource
        = "video_size=320x240:pix_fmt=" + std::to_string(AV_PIX_FMT_YUV420P) + ":time_base=1/25:pixel_aspect=1/1";
    for (const auto& c : videoCases()) {
        const std::string chain = buildVideoFilterChain(c.filters);
        if (chain.empty())
            continue;
        const std::string text = chain + ",format=pix_fmts=yuv420p|nv12|yuv420p10le|p010le";
        EXPECT_EQ(configure("buffer", videoSource, "buffersink", text), "") << c.name << ": " << text;
    }
}

// The audio decoder retunes a running graph by commands when the shape is unchanged and rebuilds it
// otherwise, so a shape may only stay equal when the filter list stays equal.
TEST(FilterChains, AudioShapeChangesExactlyWhenTheFilterListDoes)
{
    const auto eq = [](std::array<double, 10> bands, double preamp = 0, bool on = true) {
        return audio([&](auto& e) {
            e.eqEnabled = on;
            e.bands = bands;
            e.preamp = preamp;
        });
    };
    const std::array<double, 10> flat {};
    const std::array<double, 10> boosted = { 3, 0, 0, 0, 0, 0, 0, 0, 0, -2 };
    const std::array<double, 10> moved = { 5, 0, 0, 0, 0, 0, 0, 0, 0, -2 };
    const std::array<double, 10> firstBand = { 1.5, 0, 0, 0, 0, 0, 0, 0, 0, 0 };
    const AudioEffects bypassed = audio([&](auto& e) {
        e.eqEnabled = true;
        e.bands = boosted;
        e.bypass = true;
    });
    const AudioEffects rg = audio([](auto& e) { e.normalize = AudioEffects::NormalizeReplayGainTrack; });
    const AudioEffects r128 = audio([](auto& e) { e.normalize = AudioEffects::NormalizeEbuR128; });

    struct ShapeCase {
        const char* name;
        AudioEffects before;
        double gainBefore;
        AudioEffects after;
        double gainAfter;
        bool changes;
    };
    const std::vector<ShapeCase> cases = {
        { "equaliser off to on", eq(boosted, 0, false), 0, eq(boosted), 0, true },
        { "equaliser on to off", eq(boosted), 0, eq(boosted, 0, false), 0, true },
        { "bypass on", eq(boosted), 0, bypassed, 0, true },
        { "flat equaliser's first band moves", eq(flat), 0, eq(firstBand), 0, true },
        { "preamp of a flat equaliser moves", eq(flat), 0, eq(flat, 4), 0, true },
        { "band of an active equaliser moves", eq(boosted), 0, eq(moved), 0, false },
        { "preamp of an active equaliser moves", eq(boosted), 0, eq(boosted, -6), 0, false },
        { "active equaliser goes flat", eq(boosted), 0, eq(flat), 0, true },
        { "replaygain gain changes", rg, -6, rg, -3, true },
        { "loudness gain changes", r128, 2, r128, 4.5, true },
    };
    for (const auto& c : cases) {
        const std::string before = buildAudioFilterShape(c.before, 1.5, c.gainBefore, 48000, 2);
        const std::string after = buildAudioFilterShape(c.after, 1.5, c.gainAfter, 48000, 2);
        EXPECT_EQ(before != after, c.changes) << c.name << "\n  before: " << before << "\n  after:  " << after;
    }
}

TEST(FilterChains, AudioShapeBlanksOnlyTheCommandGains)
{
    const AudioEffects e = audio([](auto& e) {
        e.eqEnabled = true;
        e.preamp = -3;
        e.bands[4] = 7.25;
        e.normalize = AudioEffects::NormalizeReplayGainAlbum;
        e.chain = { stage(AudioEffectStage::Bass, { { "gain", 4 } }) };
    });
    std::string expected = kStereo48 + ",volume@rg=volume=-5dB,volume@preamp=volume=0dB";
    for (std::size_t i = 0; i < equalizerBandFrequencies.size(); ++i)
        expected += ",equalizer@eq" + std::to_string(i) + "=f=" + std::to_string(equalizerBandFrequencies[i])
            + ":t=o:w=1:g=0";
    expected += ",bass=g=4:f=100,alimiter=limit=-1dB:level=disabled,atempo=1.5";
    EXPECT_EQ(buildAudioFilterShape(e, 1.5, -5, 48000, 2), expected);
}
