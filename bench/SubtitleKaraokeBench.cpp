// Per-frame cost of drawing one dense karaoke event at 1280 × 720: our renderer (fed through the ASS decoder, as
// playback feeds it) against a bare libass loop on the same script, both set up once and then timed in many short
// alternating blocks over the same frame times; the median of the per-block ratios says how much of the cost is
// ours rather than libass's.
#include "engine/internal/SubtitleDecoder.h"
#include "engine/internal/SubtitleRenderer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/mem.h>
}
#include <ass/ass.h>
#include <spdlog/spdlog.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace kvr::engine::internal;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFrames = 40;
// The two sides alternate in short blocks of frames, so a change in the machine's load meets both alike.
constexpr int kBlockFrames = 4;
constexpr int kBlocks = 61;
// By default one event just under the renderer's per-event caps, so both sides draw exactly the same text;
// a count given on the command line makes a longer one (the renderer then draws only what it keeps of it).
int syllableCount = 2000;

const char* const kHeader = "[Script Info]\n"
                            "ScriptType: v4.00+\n"
                            "PlayResX: 1280\n"
                            "PlayResY: 720\n"
                            "ScaledBorderAndShadow: yes\n"
                            "\n"
                            "[V4+ Styles]\n"
                            "Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, "
                            "BackColour, Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, "
                            "BorderStyle, Outline, Shadow, Alignment, MarginL, MarginR, MarginV, Encoding\n"
                            "Style: Default,sans-serif,18,&H00FFFFFF,&H000000FF,&H00000000,&H80000000,0,0,0,0,100,"
                            "100,0,0,1,1,1,2,10,10,10,1\n"
                            "\n"
                            "[Events]\n"
                            "Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text\n";

// The event as the ASS decoder hands it on: "ReadOrder,Layer,Style,Name,MarginL,MarginR,MarginV,Effect,Text".
std::string karaokeEvent()
{
    std::string line = "0,0,Default,,0,0,0,,";
    static const char* const syllables[] = { "ka", "ra", "o", "ke", "su", "mi", "ne", "to" };
    for (int i = 0; i < syllableCount; ++i) {
        line += "{\\k1}";
        line += syllables[i % 8];
    }
    return line;
}

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Each syllable lasts 10 ms; the event ends a second after the last.
int64_t eventMs()
{
    return int64_t(syllableCount) * 10 + 1000;
}

// Frame times spread over the event so karaoke colours change between frames, as in playback.
int64_t frameMs(int i)
{
    return 100 + int64_t(i) * (syllableCount * 10 / kFrames);
}

// Our renderer, fed through the ASS decoder as playback feeds it, set up once.
class OurSide {
public:
    bool setUp(const std::string& event)
    {
        AVCodecParameters* params = avcodec_parameters_alloc();
        params->codec_type = AVMEDIA_TYPE_SUBTITLE;
        params->codec_id = AV_CODEC_ID_ASS;
        const size_t headerSize = std::strlen(kHeader);
        params->extradata = static_cast<uint8_t*>(av_mallocz(headerSize + AV_INPUT_BUFFER_PADDING_SIZE));
        std::memcpy(params->extradata, kHeader, headerSize);
        params->extradata_size = int(headerSize);
        const bool opened = decoder_.open(params, &renderer_, kWidth, kHeight);
        avcodec_parameters_free(&params);
        if (!opened)
            return false;
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, int(event.size()));
        std::memcpy(packet->data, event.data(), event.size());
        packet->pts = 0;
        packet->duration = eventMs();
        decoder_.decodePacket(packet, AVRational { 1, 1000 });
        av_packet_free(&packet);
        if (renderer_.textEvents().size() != 1)
            return false;
        renderer_.renderInto(0, kWidth, kHeight, kWidth, kHeight, overlay_); // warm-up: fonts
        return true;
    }

    void render(int frame) { renderer_.renderInto(frameMs(frame) * 1000, kWidth, kHeight, kWidth, kHeight, overlay_); }

private:
    SubtitleRenderer renderer_;
    SubtitleDecoder decoder_;
    SubtitleOverlay overlay_;
};

// libass's own messages are dropped unformatted, as the renderer drops all but warnings.
void silent(int, const char*, va_list, void*) { }

// A bare libass loop on the same script, set up once.
class BareSide {
public:
    ~BareSide()
    {
        if (track_)
            ass_free_track(track_);
        if (renderer_)
            ass_renderer_done(renderer_);
        if (library_)
            ass_library_done(library_);
    }

    bool setUp(const std::string& event)
    {
        library_ = ass_library_init();
        if (!library_)
            return false;
        ass_set_message_cb(library_, silent, nullptr);
        renderer_ = ass_renderer_init(library_);
        if (!renderer_)
            return false;
        ass_set_fonts(renderer_, nullptr, "sans-serif", ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
        ass_set_frame_size(renderer_, kWidth, kHeight);
        ass_set_storage_size(renderer_, kWidth, kHeight);
        track_ = ass_new_track(library_);
        if (!track_)
            return false;
        std::string header = kHeader;
        ass_process_codec_private(track_, header.data(), int(header.size()));
        std::string line = event;
        ass_process_chunk(track_, line.data(), int(line.size()), 0, eventMs());
        int changed = 0;
        ass_render_frame(renderer_, track_, 0, &changed);
        return true;
    }

    void render(int frame)
    {
        int changed = 0;
        ass_render_frame(renderer_, track_, frameMs(frame), &changed);
    }

private:
    ASS_Library* library_ = nullptr;
    ASS_Renderer* renderer_ = nullptr;
    ASS_Track* track_ = nullptr;
};

// Milliseconds per frame over one block of frames starting at `first`.
template <typename Side> double timeBlock(Side& side, int first)
{
    const auto start = Clock::now();
    for (int i = 0; i < kBlockFrames; ++i)
        side.render((first + i) % kFrames);
    return msSince(start) / kBlockFrames;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    spdlog::set_level(spdlog::level::err);
    if (argc > 1)
        syllableCount = std::max(1, std::atoi(argv[1]));
    const std::string event = karaokeEvent();
    OurSide ours;
    BareSide bare;
    if (!ours.setUp(event) || !bare.setUp(event)) {
        std::fprintf(stderr, "set-up failed\n");
        return 1;
    }
    std::vector<double> oursMs;
    std::vector<double> bareMs;
    std::vector<double> ratios;
    for (int block = 0; block < kBlocks; ++block) {
        const int first = block * kBlockFrames;
        // Which side goes first alternates too.
        double o = 0;
        double b = 0;
        if (block % 2 == 0) {
            o = timeBlock(ours, first);
            b = timeBlock(bare, first);
        } else {
            b = timeBlock(bare, first);
            o = timeBlock(ours, first);
        }
        oursMs.push_back(o);
        bareMs.push_back(b);
        ratios.push_back(o / b);
    }
    std::printf("subtitle_karaoke_syllables: %d count\n", syllableCount);
    std::printf("subtitle_karaoke_event_bytes: %zu bytes\n", event.size());
    std::printf("subtitle_karaoke_blocks: %d x %d frames\n", kBlocks, kBlockFrames);
    std::printf("subtitle_karaoke_renderer_720p_median: %.2f ms\n", median(oursMs));
    std::printf("subtitle_karaoke_bare_libass_720p_median: %.2f ms\n", median(bareMs));
    std::printf("subtitle_karaoke_ratio_median: %.2f x\n", median(ratios));
    return 0;
}
