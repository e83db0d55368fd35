#pragma once

#include "engine/internal/SubtitleDecoder.h"
#include "engine/internal/SubtitleOverlay.h"
#include "engine/internal/SubtitleRenderer.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

#include <cstring>
#include <string>

namespace kvr::test {

// A real SubRip decoder bound to a renderer, fed with hand-made packets in milliseconds.
struct SubripFeeder {
    engine::internal::SubtitleDecoder decoder;
    bool opened = false;

    explicit SubripFeeder(engine::internal::SubtitleRenderer& renderer)
    {
        AVCodecParameters* params = avcodec_parameters_alloc();
        params->codec_type = AVMEDIA_TYPE_SUBTITLE;
        params->codec_id = AV_CODEC_ID_SUBRIP;
        opened = decoder.open(params, &renderer, 0, 0);
        avcodec_parameters_free(&params);
    }

    void feed(const std::string& text, int64_t startMs, int64_t durationMs)
    {
        AVPacket* packet = av_packet_alloc();
        av_new_packet(packet, static_cast<int>(text.size()));
        std::memcpy(packet->data, text.data(), text.size());
        packet->pts = startMs;
        packet->dts = startMs;
        packet->duration = durationMs;
        decoder.decodePacket(packet, AVRational { 1, 1000 });
        av_packet_free(&packet);
    }
};

// Counts the overlay pixels with non-zero alpha in rows [firstRow, lastRow).
inline int64_t coveredPixels(const engine::internal::SubtitleOverlay& out, int32_t firstRow, int32_t lastRow)
{
    int64_t n = 0;
    if (out.empty)
        return 0;
    for (int32_t y = firstRow; y < lastRow; ++y)
        for (int32_t x = 0; x < out.width; ++x)
            n += out.pixels[(size_t(y) * out.width + x) * 4 + 3] != 0;
    return n;
}

} // namespace kvr::test
