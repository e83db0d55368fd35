#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace kvr::engine::internal {

class SubtitleRenderer;

// Binds one subtitle codec context to a renderer and turns packets into its events. No lock of its own: the
// callers serialise it (the session under its subtitle lock).
struct SubtitleDecoder {
    AVCodecContext* codecContext = nullptr;
    SubtitleRenderer* renderer = nullptr; // not owned
    bool bitmap = false;
    int32_t canvasWidth = 0;
    int32_t canvasHeight = 0;
    // Every packet's duration is the cue's own (subtitle files, which always give an end time): a text cue that
    // does not end after it starts is not shown, rather than taken as "duration unknown".
    bool cueDurations = false;

    SubtitleDecoder() = default;
    SubtitleDecoder(const SubtitleDecoder&) = delete;
    SubtitleDecoder& operator=(const SubtitleDecoder&) = delete;
    // Frees the codec context when the owner has not done so already.
    ~SubtitleDecoder();

    // defaultWidth/defaultHeight: the video's coded size (0 without video), the canvas when the stream has none.
    bool open(const AVCodecParameters* params, SubtitleRenderer* renderer, int32_t defaultWidth, int32_t defaultHeight);
    // Decodes one packet into events; the caller keeps the packet.
    void decodePacket(const AVPacket* packet, AVRational timeBase);
};

} // namespace kvr::engine::internal
