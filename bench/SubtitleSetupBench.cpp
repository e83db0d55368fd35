// Measures what subtitles cost on the paths a user waits on: the first libass set-up with fontconfig (it runs
// under the renderer's mutex, which the render thread also takes), a later one, the font set-up again after an
// embedded font, and the per-repaint cost of the overlay.
#include "engine/internal/SubtitleDecoder.h"
#include "engine/internal/SubtitleRenderer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}
#include <spdlog/spdlog.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

using namespace kvr::engine::internal;
using Clock = std::chrono::steady_clock;

namespace {

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

bool openSubrip(SubtitleDecoder& decoder, SubtitleRenderer& renderer)
{
    AVCodecParameters* params = avcodec_parameters_alloc();
    params->codec_type = AVMEDIA_TYPE_SUBTITLE;
    params->codec_id = AV_CODEC_ID_SUBRIP;
    const bool ok = decoder.open(params, &renderer, 0, 0);
    avcodec_parameters_free(&params);
    return ok;
}

void feed(SubtitleDecoder& decoder, const char* text, int64_t startMs, int64_t durationMs)
{
    AVPacket* packet = av_packet_alloc();
    av_new_packet(packet, int(std::strlen(text)));
    std::memcpy(packet->data, text, std::strlen(text));
    packet->pts = startMs;
    packet->duration = durationMs;
    decoder.decodePacket(packet, AVRational { 1, 1000 });
    av_packet_free(&packet);
}

} // namespace

int main()
{
    spdlog::set_level(spdlog::level::err);

    SubtitleRenderer first;
    SubtitleDecoder firstDecoder;
    auto start = Clock::now();
    if (!openSubrip(firstDecoder, first)) {
        std::fprintf(stderr, "no SubRip decoder\n");
        return 1;
    }
    std::printf("subtitle_first_setup: %.1f ms\n", msSince(start));

    feed(firstDecoder, "The first line drawn", 0, 5000);
    SubtitleOverlay overlay;
    start = Clock::now();
    first.renderInto(1000000, 1920, 1080, 1920, 1080, overlay);
    std::printf("subtitle_first_render: %.1f ms\n", msSince(start));

    SubtitleRenderer second;
    SubtitleDecoder secondDecoder;
    start = Clock::now();
    openSubrip(secondDecoder, second);
    std::printf("subtitle_second_setup: %.1f ms\n", msSince(start));

    std::ifstream fontFile("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf", std::ios::binary);
    const std::vector<uint8_t> font { std::istreambuf_iterator<char>(fontFile), {} };
    if (!font.empty()) {
        second.addFonts("embedded.ttf", font.data(), font.size());
        start = Clock::now();
        second.applyFonts();
        std::printf("subtitle_font_resetup: %.1f ms\n", msSince(start));
    }

    const int rounds = 200;
    start = Clock::now();
    for (int i = 0; i < rounds; ++i)
        first.renderInto(1000000 + i * 1000, 1920, 1080, 1920, 1080, overlay);
    std::printf("subtitle_render_unchanged: %.1f us\n", msSince(start) * 1000.0 / rounds);

    start = Clock::now();
    for (int i = 0; i < rounds; ++i) {
        first.flush();
        first.renderInto(1000000, 1920, 1080, 1920, 1080, overlay);
    }
    std::printf("subtitle_render_redraw_1080p: %.1f us\n", msSince(start) * 1000.0 / rounds);
    return 0;
}
