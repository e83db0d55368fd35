#pragma once

#include "engine/VideoFilters.h"
#include "engine/internal/PacketQueue.h"
#include "engine/internal/VideoFrameQueue.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/pixfmt.h>
#include <libavutil/rational.h>
}

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

struct AVBufferRef;
struct AVCodec;
struct AVCodecContext;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;
struct SwsContext;

namespace kvr::engine::internal {

// Decodes the chosen video stream on a thread of its own ("kvr-vdec"): packets from the demuxer's video queue,
// pictures (optionally through the user's filter graph) into a VideoFrameQueue. Uses VA-API when allowed and
// available, software decoding otherwise. One decoder per opening of a medium; it is never restarted.
class VideoDecoder {
public:
    // How far behind the clock a picture may be before it counts as late (microseconds).
    static constexpr int64_t lateThresholdUs = 120'000;
    // Of a run of late pictures, every this many-th one is still shown so the picture never freezes.
    static constexpr int32_t lateKeepEvery = 8;

    VideoDecoder();
    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Opens the decoder for the stream; false when there is no decoder or it cannot be opened. A VA-API device
    // that could not be created is remembered for the rest of the process and not tried again.
    bool open(const AVCodecParameters* params, AVRational timeBase, bool allowHardware);
    // Starts the decoding thread. decodedCounter (may be null) counts decoded pictures.
    void start(PacketQueue* packets, VideoFrameQueue* queue, std::atomic<int64_t>* decodedCounter);
    // Asks the thread to end and joins it. Close the packet queue and abort the frame queue first, so a thread
    // waiting in either wakes up.
    void join();

    // Takes effect at the next decoded picture.
    void setFilters(std::shared_ptr<const VideoFilters> filters);
    // The chain text of the graph that is running; empty when pictures pass unfiltered.
    std::string filterDescription() const;
    bool usesHardware() const { return hardware; }
    // Smoothed time of one hardware-to-memory copy and of one pass through the filter graph, in milliseconds.
    double transferMs() const { return transferMsValue.load(std::memory_order_relaxed); }
    double filterMs() const { return filterMsValue.load(std::memory_order_relaxed); }

    // Set by the session after open and before start.
    std::atomic<int64_t> seekTargetUs { 0 }; // pictures before it are not shown; 0 = none
    int32_t sarNum = 1;
    int32_t sarDen = 1;
    int32_t rotation = 0;
    std::function<int64_t()> clock; // the video clock; empty = no late-picture dropping
    // Called once on the decoding thread when the first picture is in the queue, or when decoding ends without
    // one; empty = nobody waits for it.
    std::function<void()> firstPicture;

    // Set by the decoding thread as its last act.
    std::atomic<bool> finished { false };

private:
    struct Run;

    static AVPixelFormat getFormat(AVCodecContext* context, const AVPixelFormat* formats);
    bool openHardware(const AVCodec* codec, const AVCodecParameters* params);
    void decodeLoop(PacketQueue* packets, VideoFrameQueue* queue, std::atomic<int64_t>* decodedCounter);
    bool receiveFrames(Run& run);
    bool filterFrame(Run& run, AVFrame* frame, int64_t ptsUs);
    bool pullFiltered(Run& run, int64_t fallbackPtsUs, int64_t pushedAtNs);
    void rebuildFilterGraph();
    bool buildFilterGraph(const AVFrame* frame);
    void freeFilterGraph();
    bool toVideoFrame(Run& run, AVFrame* frame, int64_t ptsUs);
    bool push(Run& run, std::shared_ptr<VideoFrame>&& frame);
    void announceFirstPicture(Run& run);
    bool ensureScaler(int width, int height, int srcFormat, int dstFormat, int range);

    AVCodecContext* codecContext = nullptr;
    AVRational timeBase { 0, 1 };
    SwsContext* scaler = nullptr;
    int32_t scalerWidth = 0;
    int32_t scalerHeight = 0;
    int32_t scalerSrcFormat = -1;
    int32_t scalerDstFormat = -1;
    int32_t scalerRange = -1; // -1 swscale's own choice, 0 limited, 1 full kept on both sides
    AVBufferRef* hwDevice = nullptr;
    std::atomic<bool> hardware { false };
    std::thread thread;
    std::atomic<bool> stopRequested { false };

    mutable std::mutex filterMutex; // guards filters and activeDescription
    std::shared_ptr<const VideoFilters> filters;
    std::string activeDescription;
    std::atomic<int64_t> filterGeneration { 1 };
    int64_t appliedGeneration = 0;
    std::string graphDescription;
    AVFilterGraph* graph = nullptr;
    AVFilterContext* graphSource = nullptr;
    AVFilterContext* graphSink = nullptr;
    int32_t graphWidth = 0;
    int32_t graphHeight = 0;
    int32_t graphFormat = -1;
    std::atomic<double> transferMsValue { 0.0 };
    std::atomic<double> filterMsValue { 0.0 };
};

} // namespace kvr::engine::internal
