#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct AVCodec;
struct AVFrame;
struct AVPacket;
struct AVRational;

namespace kvr::engine {

// One conversion request. Text fields are UTF-8. Copying clones outputSink; moving leaves the source's
// strings empty.
struct TranscodeOptions {
    std::string input;
    std::string output; // not opened when outputSink is set, nor in the first of two passes
    std::string container = "mp4";
    std::string videoCodec = "h264"; // or "copy" / "none"
    int quality = 2; // 0 fastest .. 3 best
    int rateMode = 0; // 0 constant quality, 1 target bit rate, 2 two passes
    int videoKbps = 0; // 0 chooses from the ladder
    int maxHeight = 0; // 0 keeps the source height
    double fps = 0; // 0 keeps the source rate
    std::string videoFilters; // the user's own filter text, first in the chain
    std::vector<int> audioStreams; // input stream indices; empty = the best audio stream
    std::string audioCodec = "aac"; // or "copy" / "none"
    int audioKbps = 0;
    int audioChannels = 0; // 0 keeps the source layout
    int sampleRate = 0; // 0 keeps the source rate
    int subtitles = 0; // 0 none, 1 copy, 2 convert, 3 burn
    int subtitleStream = -1; // burn-in: -1 picks the best subtitle stream
    std::string subtitleFile; // burn-in: external file, preferred over subtitleStream
    bool keepMetadata = true;
    bool keepCover = true;
    bool live = false; // output read while written: one pass, real-time encoder settings
    int64_t startUs = 0;
    // When set, the muxer writes through this instead of into `output`; false makes the write fail.
    std::function<bool(const uint8_t* data, int size)> outputSink;
};

struct TranscodeProgress {
    double fraction = 0; // over all passes, 0..1
    double rate = 0; // video frames per wall-clock second
    double speed = 0; // media seconds per wall-clock second
    double etaSeconds = -1; // -1 when no estimate can be made
    int64_t bytes = 0; // muxed in this pass
    int pass = 1;
    int passes = 1;
};

struct TranscodeResult {
    bool ok = false;
    bool cancelled = false; // the cancel flag ended it; message is then "cancelled"
    std::string message; // empty on success, else "<stage>: <detail>"
    // A pass opened, and so created or truncated, the file at `output`: a partial file is this job's own.
    bool outputOpened = false;
};

using TranscodeProgressCallback = std::function<void(const TranscodeProgress&)>;

// What this machine can produce; made once per process.
struct TranscodeCapabilities {
    std::vector<std::string> videoCodecs;
    std::vector<std::string> audioCodecs;
    std::vector<std::string> containers;
    std::vector<std::string> hardwareEncoders; // hardware encoders that passed their test encode
    // Codec name -> FFmpeg encoder name, for the codecs whose candidates are test-encoded ("h264", "hevc").
    std::map<std::string, std::string> chosenEncoders;
};

class Transcoder {
public:
    // The state of one pass and of one of its output streams (engine/internal/TranscoderJob.h).
    struct Job;
    struct OutputStream;
    enum class StreamKind : int32_t { Copy = 0, EncodeVideo = 1, EncodeAudio = 2, ConvertSubtitle = 3, CoverArt = 4 };

    // Runs one conversion to its end and blocks until then. The callback (may be null or empty) is called on the
    // conversion's thread; cancel must not be null and must outlive the call.
    static TranscodeResult transcode(
        const TranscodeOptions& options, const TranscodeProgressCallback* progress, const std::atomic<bool>* cancel);
    // Pre-flight checks, then one or two passes, on the calling thread (at below-normal priority unless live).
    static TranscodeResult runJob(
        const TranscodeOptions& options, const TranscodeProgressCallback* progress, const std::atomic<bool>* cancel);
    // One pass: open, set up the streams, read and route every packet, write the trailer and close.
    static TranscodeResult run(Job& job);
    static bool openInput(Job& job);
    // The output context and, for a live output, its sink; the file itself comes later.
    static bool openOutput(Job& job);
    // Creates (or truncates) the file at `output` once the pass has found something to convert.
    static bool createOutputFile(Job& job);
    // Routes one input packet to its output stream; packets of streams not carried are ignored.
    static bool processPacket(Job& job, AVPacket* packet);

    // Output streams for one input stream each; false (with the job's error set) when the stream cannot be
    // carried. Subtitle and cover streams that cannot be carried are dropped, never fatal.
    static bool setupVideoStream(Job& job, int inputIndex);
    static bool setupAudioStream(Job& job, int inputIndex);
    static bool setupSubtitleStreams(Job& job, int inputIndex, bool allowConversion);
    static bool copyStream(Job& job, int inputIndex);

    // The audio graph of an encoded audio stream: the decoder's rate, format and layout to the encoder's, in
    // frames of the encoder's frame size. Replaces any graph the stream held.
    static bool buildAudioGraph(Job& job, OutputStream& stream);
    // One decoded frame of an encoded stream (times already shifted to the output's start), or the stream's end
    // when null, through the stream's graph and encoder. The caller keeps the frame.
    static bool processVideoFrame(Job& job, OutputStream& stream, AVFrame* frame);
    // The video graph of an encoded video stream, from its first decoded frame: the user's filters, the height
    // limit, the frame-rate change and the encoder's pixel format. Replaces any graph the stream held.
    static bool buildVideoGraph(Job& job, OutputStream& stream, const AVFrame* first);
    // Builds the video graph and opens the video encoder from the first decoded frame.
    static bool configureVideoEncoder(Job& job, OutputStream& stream, const AVFrame* first);
    // The default video bit rate in kb/s for a codec name and picture height.
    static int defaultVideoBitrate(const std::string& codec, int height);
    // Sends one filtered frame (null drains) to the stream's encoder and muxes what comes out.
    static bool encodeFrame(Job& job, OutputStream& stream, AVFrame* frame);

    // Muxes one packet whose times are in `timeBase`; dropped until the header is written.
    static bool writePacket(Job& job, OutputStream& stream, AVPacket* packet, AVRational timeBase);
    static bool writeHeader(Job& job);
    // Throttled progress report at a position in microseconds of the output's media time.
    static void reportProgress(Job& job, int64_t positionUs);
    // Sets the job's error to what + ": " + detail, logs it and returns false.
    static bool fail(Job& job, const std::string& what, const std::string& detail);

    // The process-wide record; the first call probes (callers arriving meanwhile wait), later calls read it.
    static const TranscodeCapabilities& capabilities();
    // Clears the record and fills it on a thread of its own ("kvr-caps"), which it joins.
    static void probeCapabilitiesOnThread(TranscodeCapabilities& caps);
    static void probeCapabilities(TranscodeCapabilities& caps);
    // Four 320x192 frames through the encoder; true when at least one packet comes out.
    static bool testEncode(const AVCodec* encoder);

    // Empty when the container can hold the codecs, else one sentence for the user.
    static std::string validate(
        const std::string& container, const std::string& videoCodec, const std::string& audioCodec);
    // The muxer's short name for a container name; null for an unknown one.
    static const char* muxerNameFor(const std::string& container);
    // Encoder candidates for a codec name, in the order they are tried.
    static const std::vector<std::string>& encoderNameFor(const std::string& codec);
    // The encoder used for a codec name, or null. "h264" and "hevc" give the capability probe's tested choice.
    static const AVCodec* findEncoder(const std::string& codec);
};

// True for the containers that hold no video: "mp3", "m4a", "ogg", "opus", "flac", "wav".
bool isAudioOnlyContainer(const std::string& container);

// FFmpeg's text for an error code.
std::string errorString(int code);

// The listed sample rate nearest to `wanted` (the earlier one on a tie); `wanted` when the list is empty.
int nearestSampleRate(const std::vector<int>& rates, int wanted);
// How many channels an audio encode gets: the wanted count kept within 1 and the codec's ceiling (8; 2 for
// "mp3" and for FFmpeg's own "opus" encoder; 6 for "ac3").
int audioChannelCount(const std::string& codec, const std::string& encoderName, int wanted);
// The bit rate of an audio encode in bit/s; 0 leaves the encoder's own default.
int64_t audioBitRate(const std::string& codec, int channels, int userKbps);

// The filter chain of a video encode before its pixel-format conversion ("null" when nothing applies): the
// user's filters, a scale when the picture is taller than `maxHeight`, an fps filter when `fps` is above 0.
std::string videoFilterChain(const std::string& userFilters, int maxHeight, double fps, int frameHeight);
// The whole text of a video graph: from the source "in" through the chain and the conversion to the encoder's
// pixel format into the sink "out". With burn-in the subtitle source "sub" (premultiplied BGRA) is laid over the
// decoded picture first, before the user's filters, the scaling and the frame-rate change.
// A hardware encoder's pictures end in NV12 and are uploaded to its device by "hwupload".
// `upright` (filters that turn the decoded picture upright, empty for none) comes first of all, so the subtitles
// are laid over the upright picture.
std::string videoGraphText(const std::string& chain, const std::string& pixelFormat, bool burnIn = false,
    bool hardwareUpload = false, const std::string& upright = {});
// The filters that show a picture as its display matrix (nine 32-bit values) says: "transpose=clock",
// "hflip,vflip", …, empty when it is shown as decoded or no matrix is given. Turns are taken to the nearest
// quarter, as the player shows them; `sideways` tells that width and height trade places.
std::string uprightFilters(const uint8_t* displayMatrix, size_t size, bool& sideways);
// The sample aspect ratio a graph's source is described with: a ratio that is not set (0/0, 0/1) is square.
std::pair<int, int> sourceAspect(int num, int den);

// What a video encoder is opened with, worked out from the user's choices before the open.
struct VideoEncoderSettings {
    int64_t kbps = 0;
    bool rateDriven = false;
    int64_t bitRate = 0; // bit/s; 0 with quality-driven encoders that take a constant quality
    int64_t maxRate = 0;
    int64_t minRate = 0;
    int64_t bufferSize = 0;
    int gopSize = 12;
    int maxBFrames = -1; // -1 leaves the encoder's default
    int globalQuality = 0; // fixed-quantiser lambda; 0 when not used
    std::vector<std::pair<std::string, std::string>> options; // the option dictionary, in order
};
// `encoderName` is FFmpeg's; `codec` the user's codec name; fps the encoder's frame rate.
VideoEncoderSettings videoEncoderSettings(
    const TranscodeOptions& options, const std::string& encoderName, int height, double fps);

// The progress arithmetic, apart from the clock and the callback, so it can be checked case by case.
struct ProgressState {
    int64_t startedAt = 0; // steady clock, nanoseconds
    int64_t lastReportAt = 0; // 0 before the first report
    std::vector<std::pair<double, double>> speedWindow; // {wall seconds since startedAt, media seconds}
};
// Fills `report` and returns true unless a report was made less than 0.5 s before `nowNs`. Positions and the
// duration are media time from the start of what this pass converts; the fraction stays in 0..1 and the
// estimate is never negative (-1 when none can be made).
bool nextProgress(ProgressState& state, int64_t nowNs, int64_t positionUs, int64_t durationUs, int64_t videoFrames,
    int pass, int passes, int64_t bytes, TranscodeProgress& report);

} // namespace kvr::engine
