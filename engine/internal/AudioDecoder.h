#pragma once

#include "engine/AudioEffects.h"
#include "engine/internal/PacketQueue.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavutil/channel_layout.h>
#include <libavutil/rational.h>
#include <libavutil/samplefmt.h>
}

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct AVCodecContext;
struct AVFilterContext;
struct AVFilterGraph;
struct AVFrame;
struct SwrContext;

namespace kvr::engine::internal {

class AudioOutputWasapi;

// Decodes the chosen audio stream on a thread of its own ("kvr-adec") into interleaved float samples at the
// output's rate and channel count and writes them into the output's ring, which paces it to playback. Samples go
// through a resampler, or, when effects, normalisation or a speed change are wanted, through a filter graph that
// does the conversion in the same pass. The first sample written belongs to the start position.
class AudioDecoder {
public:
    AudioDecoder();
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // Sample rates and channel counts played; a stream outside them is refused at open (see refusal), a frame
    // outside them is dropped.
    static constexpr int minSampleRate = 1000;
    static constexpr int maxSampleRate = 768000;
    static constexpr int maxChannels = 64;
    // Why a stream of this rate and channel count is not played; empty when it is.
    static std::string refusalOf(int sampleRate, int channels);

    // Opens the decoder and the resampler for the output's format. Set speed, normalizationGainDb and the first
    // effects before. False when it cannot; refusal then says why when the stream's format is one not played.
    bool open(const AVCodecParameters* params, AVRational timeBase, AudioOutputWasapi* output);
    // Starts the decoding thread on the demuxer's audio queue; decodedCounter (may be null) counts decoded frames.
    // False (logged) when a thread already runs; also when none could be created, and then the decoder counts as
    // finished and the ring is closed.
    bool start(PacketQueue* packets, std::atomic<int64_t>* decodedCounter);
    // Stops and joins the thread. Close the ring and the packet queue first, or a blocked thread waits for them.
    void join();
    // Publishes new effect settings; the thread picks them up at its next decoded frame.
    void setEffects(std::shared_ptr<const AudioEffects> newEffects);
    // The chain text of the running graph; empty when none.
    std::string filterDescription();

    // Position the opening starts at, in microseconds (0: the start of the medium); set before start.
    std::atomic<int64_t> seekTargetUs { 0 };
    // Set by a failed open whose stream has a sample rate or channel count that is not played.
    std::string refusal;
    // Set once the last sample has been written and the ring closed.
    std::atomic<bool> finished { false };
    // Inputs of the chain text. Set before open; a new gain is published by the setEffects that follows it.
    std::atomic<double> speed { 1.0 };
    std::atomic<double> normalizationGainDb { 0.0 };

private:
    // Sample format, rate and channel layout of decoded frames, as a resampler or graph was set up for them.
    struct InputFormat {
        AVSampleFormat format = AV_SAMPLE_FMT_NONE;
        int sampleRate = 0;
        AVChannelLayout layout {};
    };

    void decodeLoop(PacketQueue* packets, std::atomic<int64_t>* decodedCounter);
    void receiveFrames(std::atomic<int64_t>* decodedCounter);
    void handleFrame(AVFrame* decoded);
    void applyEffects();
    bool buildFilterGraph(const std::string& full);
    bool sendGainCommands(const AudioEffects& wanted);
    void drainGraph();
    void freeGraph();
    void pullGraph(int64_t limit = -1);
    bool configureResampler(const InputFormat& input);
    void flushResampler();
    void process(AVFrame* in, int64_t graphPts);
    AVFrame* sliceOf(const AVFrame* in, int offset, int count);
    void convertAndWrite(const AVFrame* frame);
    void writeSilence(int64_t frames);
    bool writeSamples(const float* data, size_t frames);
    static void assignInput(InputFormat& to, AVSampleFormat format, int sampleRate, const AVChannelLayout& layout);
    static bool sameInput(const InputFormat& known, const AVFrame* f);

    AVCodecContext* codecContext = nullptr;
    SwrContext* resampler = nullptr;
    AudioOutputWasapi* output = nullptr;
    AVRational timeBase { 0, 1 };
    int32_t outSampleRate = 0;
    int32_t outChannels = 0;
    std::thread thread;
    std::atomic<bool> stopRequested { false };

    std::mutex effectsMutex;
    std::shared_ptr<const AudioEffects> effects;
    std::atomic<int64_t> effectsGeneration { 1 };
    int64_t appliedGeneration = 0;
    std::string activeDescription;

    // Decoding thread only from here on.
    std::string graphShape;
    std::string graphDescription;
    AVFilterGraph* graph = nullptr;
    AVFilterContext* graphSource = nullptr;
    AVFilterContext* graphSink = nullptr;
    InputFormat graphInput;
    // What went into and came out of the running graph, so a drained graph hands over exactly the length its
    // input stands for at its speed.
    int64_t graphInputSamples = 0;
    int64_t graphOutputFrames = 0;
    double graphSpeed = 1.0;
    InputFormat resamplerInput;
    bool resamplerHoldsSamples = false;
    // The format of the latest decoded frame (the codec's until the first frame); new graphs are built for it.
    InputFormat currentInput;
    // False until the first sample has been written: until then frames before the start are dropped or trimmed
    // and a late first frame is preceded by silence.
    bool aligned = false;
    AVFrame* frame = nullptr;
    AVFrame* filtered = nullptr;
    AVFrame* trimmed = nullptr;
    AVFrame* slice = nullptr;
    bool refusedFrameLogged = false;
    std::vector<float> converted;
    std::vector<float> silence;
};

} // namespace kvr::engine::internal
