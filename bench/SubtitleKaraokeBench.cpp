// Per-frame cost of drawing one dense karaoke event at 1280 × 720: our renderer (fed through the ASS decoder, as
// playback feeds it) against a bare libass loop on the same script, set up once. The ratio says how much of the
// cost is ours rather than libass's.
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

using namespace kvr::engine::internal;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kFrames = 40;
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

double measureRenderer(const std::string& event)
{
    SubtitleRenderer renderer;
    SubtitleDecoder decoder;
    AVCodecParameters* params = avcodec_parameters_alloc();
    params->codec_type = AVMEDIA_TYPE_SUBTITLE;
    params->codec_id = AV_CODEC_ID_ASS;
    const size_t headerSize = std::strlen(kHeader);
    params->extradata = static_cast<uint8_t*>(av_mallocz(headerSize + AV_INPUT_BUFFER_PADDING_SIZE));
    std::memcpy(params->extradata, kHeader, headerSize);
    params->extradata_size = int(headerSize);
    const bool opened = decoder.open(params, &renderer, kWidth, kHeight);
    avcodec_parameters_free(&params);
    if (!opened)
        return -1;
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, int(event.size()));
    std::memcpy(packet->data, event.data(), event.size());
    packet->pts = 0;
    packet->duration = eventMs();
    decoder.decodePacket(packet, AVRational { 1, 1000 });
    av_packet_free(&packet);
    if (renderer.textEvents().size() != 1)
        return -1;

    SubtitleOverlay overlay;
    renderer.renderInto(0, kWidth, kHeight, kWidth, kHeight, overlay); // warm-up: fonts
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i)
        renderer.renderInto(frameMs(i) * 1000, kWidth, kHeight, kWidth, kHeight, overlay);
    return msSince(start) / kFrames;
}

// libass's own messages are dropped unformatted, as the renderer drops all but warnings.
void silent(int, const char*, va_list, void*) { }

double measureBareLibass(const std::string& event)
{
    ASS_Library* library = ass_library_init();
    if (library)
        ass_set_message_cb(library, silent, nullptr);
    ASS_Renderer* renderer = library ? ass_renderer_init(library) : nullptr;
    if (!renderer)
        return -1;
    ass_set_fonts(renderer, nullptr, "sans-serif", ASS_FONTPROVIDER_AUTODETECT, nullptr, 1);
    ass_set_frame_size(renderer, kWidth, kHeight);
    ass_set_storage_size(renderer, kWidth, kHeight);
    ASS_Track* track = ass_new_track(library);
    std::string header = kHeader;
    ass_process_codec_private(track, header.data(), int(header.size()));
    std::string line = event;
    ass_process_chunk(track, line.data(), int(line.size()), 0, eventMs());

    int changed = 0;
    ass_render_frame(renderer, track, 0, &changed);
    const auto start = Clock::now();
    for (int i = 0; i < kFrames; ++i)
        ass_render_frame(renderer, track, frameMs(i), &changed);
    const double perFrame = msSince(start) / kFrames;
    ass_free_track(track);
    ass_renderer_done(renderer);
    ass_library_done(library);
    return perFrame;
}

} // namespace

int main(int argc, char** argv)
{
    spdlog::set_level(spdlog::level::err);
    if (argc > 1)
        syllableCount = std::max(1, std::atoi(argv[1]));
    const std::string event = karaokeEvent();
    // The bare loop runs first and last so a warming machine favours neither side.
    const double bareFirst = measureBareLibass(event);
    const double ours = measureRenderer(event);
    const double bareLast = measureBareLibass(event);
    if (bareFirst <= 0 || bareLast <= 0 || ours <= 0) {
        std::fprintf(stderr, "set-up failed\n");
        return 1;
    }
    const double bare = (bareFirst + bareLast) / 2;
    std::printf("subtitle_karaoke_syllables: %d count\n", syllableCount);
    std::printf("subtitle_karaoke_event_bytes: %zu bytes\n", event.size());
    std::printf("subtitle_karaoke_renderer_720p: %.2f ms\n", ours);
    std::printf("subtitle_karaoke_bare_libass_720p: %.2f ms\n", bare);
    std::printf("subtitle_karaoke_ratio: %.2f x\n", ours / bare);
    return 0;
}
