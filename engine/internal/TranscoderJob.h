#pragma once

#include "engine/convert/Transcoder.h"
#include "engine/internal/SubtitleDecoder.h"
#include "engine/internal/SubtitleOverlay.h"
#include "engine/internal/SubtitleRenderer.h"

extern "C" {
#include <libavutil/rational.h>
}

#include <atomic>
#include <climits>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct AVBSFContext;
struct AVBufferRef;
struct AVCodecContext;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFormatContext;
struct AVIOContext;
struct AVPacket;
struct AVStream;

namespace kvr::engine {

// One output stream of a pass; frees its filter graph, then its encoder, then its decoder.
struct Transcoder::OutputStream {
    OutputStream() = default;
    ~OutputStream();
    OutputStream(const OutputStream&) = delete;
    OutputStream& operator=(const OutputStream&) = delete;

    StreamKind kind = StreamKind::Copy;
    int32_t inputIndex = -1;
    AVStream* stream = nullptr; // in the job's outputContext; null for the video of a first pass
    AVCodecContext* decoder = nullptr;
    AVCodecContext* encoder = nullptr;
    // Copied H.264/HEVC into a container that wants start codes (AVI): the length-prefixed packets are rewritten.
    AVBSFContext* annexB = nullptr;
    AVFilterGraph* graph = nullptr;
    AVFilterContext* source = nullptr;
    AVFilterContext* subtitleSource = nullptr;
    AVFilterContext* sink = nullptr;
    // The input time that becomes the output's 0, in the input stream's time base.
    int64_t startOffset = 0;
    AVRational sinkTimeBase { 0, 1 };
    // The display matrix turns the picture a quarter: the upright picture trades width and height.
    bool sideways = false;
    // The video graph as parsed, kept for the log and for tests.
    std::string graphText;
    // The last video frame time given to the encoder, in its time base.
    int64_t lastVideoPts = INT64_MIN;
    bool started = false;
    // Audio frames enter the graph counted in samples; this carries the rounding from one frame to the next.
    int64_t sampleTimeCarry = INT64_MIN;
    // Where the previous decoded audio frame ended, in samples: a frame may not start before it.
    int64_t audioEnd = INT64_MIN;
    // The last time stamps handed to the muxer (output time base), and whether a repair was logged.
    int64_t lastDts = INT64_MIN;
    int64_t lastDuration = 0;
    bool timesRepaired = false;
    // The latest packet time muxed (microseconds), and whether the stream has ended.
    int64_t writtenUs = INT64_MIN;
    bool finished = false;
};

// The state of one pass of one conversion; made at the start of the pass and destroyed at its end.
struct Transcoder::Job {
    Job() = default;
    ~Job();
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;

    const TranscodeOptions* options = nullptr;
    int pass = 0; // 0 single pass, 1 first of two, 2 second of two
    std::string* passLog = nullptr;
    const std::atomic<bool>* cancel = nullptr;
    const TranscodeProgressCallback* progress = nullptr;
    int passes = 1;
    AVFormatContext* inputContext = nullptr;
    AVFormatContext* outputContext = nullptr;
    AVIOContext* sinkIo = nullptr;
    bool headerWritten = false;
    bool awaitingExtradata = false;
    std::vector<AVPacket*> heldVideoPackets;
    // Packets read to find the output's origin, routed first by the read loop.
    std::deque<AVPacket*> earlyPackets;
    std::vector<std::unique_ptr<OutputStream>> outputs;
    std::map<int, OutputStream*> byInputIndex;
    OutputStream* videoOut = nullptr;
    std::string error;
    std::unique_ptr<internal::SubtitleRenderer> burnIn;
    // Burn-in from a subtitle stream of a live or network input, which is not read twice: its packets go from
    // the pass's own read loop to this decoder. -1 when the subtitles were loaded before the pass.
    std::unique_ptr<internal::SubtitleDecoder> burnInDecoder;
    int burnInStream = -1;
    // Cues from a file count from 0; those of a stream carry the input's own times.
    bool burnInFromFile = false;
    // The VA-API device of a hardware video encode; the upload filter and the encoder hold their own references.
    AVBufferRef* hardwareDevice = nullptr;
    internal::SubtitleOverlay overlay;
    int64_t durationUs = 0;
    int64_t videoFrames = 0;
    ProgressState progressState; // startedAt, lastReportAt and the speed window
    int64_t bytesWritten = 0;

    // The input's container start time (microseconds, 0 when unknown): a chosen start counts from it.
    int64_t inputStartUs = 0;
    // The input time (microseconds) that becomes the output's 0.
    int64_t originUs = 0;
    // The highest position reported in this pass: progress never goes back.
    int64_t progressUs = INT64_MIN;
    // The file at `output` was opened (created or truncated) by this pass.
    bool outputOpened = false;
    // A step was interrupted (AVERROR_EXIT): the cancel flag is up, or the input was told to give up.
    bool interrupted = false;
    // Encoded subtitle text, reused for every cue of the pass.
    std::vector<uint8_t> subtitleBuffer;
};

} // namespace kvr::engine
