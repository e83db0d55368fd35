#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

struct AVCodec;

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
    // Runs one conversion to its end and blocks until then. The callback (may be null or empty) is called on the
    // conversion's thread; cancel must not be null and must outlive the call.
    static TranscodeResult transcode(
        const TranscodeOptions& options, const TranscodeProgressCallback* progress, const std::atomic<bool>* cancel);

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

} // namespace kvr::engine
