#pragma once

#include "engine/MediaInfo.h"
#include "engine/StreamSelection.h"
#include "engine/internal/PacketQueue.h"

extern "C" {
#include <libavcodec/codec_par.h>
#include <libavcodec/packet.h>
#include <libavutil/rational.h>
}

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct AVFormatContext;
struct AVIOInterruptCB;

namespace kvr::engine::internal {

struct StreamSlot {
    int32_t index = -1;
    AVCodecParameters* codecParameters = nullptr; // borrowed from the stream
    AVRational timeBase { 0, 1 };
};

// What reading the stream information found in a local file, so that a reopen of the same, unchanged file (a
// seek, a track change) need not read and decode its first pictures again. Kept only for inputs whose header
// describes every stream.
struct StreamInfo {
    struct Stream {
        AVCodecParameters* codecParameters = nullptr; // owned
        AVRational timeBase { 0, 1 };
        AVRational averageFrameRate { 0, 1 };
        AVRational realFrameRate { 0, 1 };
        int64_t startTime = 0;
        int64_t duration = 0;
    };
    std::string path;
    uintmax_t fileSize = 0;
    std::filesystem::file_time_type modified;
    const void* inputFormat = nullptr;
    int64_t startTime = 0;
    int64_t duration = 0;
    int64_t bitRate = 0;
    std::vector<Stream> streams;

    StreamInfo() = default;
    StreamInfo(const StreamInfo&) = delete;
    StreamInfo& operator=(const StreamInfo&) = delete;
    ~StreamInfo();
};

struct FontAttachment {
    std::string filename;
    std::vector<uint8_t> data;
};

// Opens one medium, describes it, chooses its streams and, on a thread of its own, routes its packets: audio
// and video into two bounded queues, subtitles to a callback. A new Demuxer is made for every open.
class Demuxer {
public:
    static constexpr size_t audioQueueCapacity = 200;
    static constexpr size_t videoQueueCapacity = 60;
    // How far a full queue may grow while the other decoder starves (see PacketQueue::linkSiblings).
    static constexpr size_t starvationOverflowBytes = 15 * 1024 * 1024;
    // Network inputs give up after this long without data (microseconds).
    static constexpr int64_t defaultNetworkTimeoutUs = 10'000'000;

    Demuxer();
    ~Demuxer();
    Demuxer(const Demuxer&) = delete;
    Demuxer& operator=(const Demuxer&) = delete;

    // Opens, describes, selects and positions the medium; false with lastError set on failure. `known` (may be
    // null) is what an earlier open of the same address found; it is used in place of reading the stream
    // information again only when it still fits the file. Local paths
    // and addresses with a stream scheme (http, https, rtsp, rtsps, rtmp, rtmps, mms, mmsh, udp, rtp, srt, ftp,
    // sftp) are accepted; anything else is refused before FFmpeg sees it. "mms" opens as MMS over HTTP, and
    // over TCP when that fails. Every network wait, also an SRT listener's or an RTP/UDP receiver's, gives
    // up after networkTimeoutUs with "Connection timed out".
    bool open(const std::filesystem::path& path, int64_t startUs, const StreamSelection& selection,
        std::shared_ptr<const StreamInfo> known = nullptr);
    // Clears stop and finished and starts the read thread; packetCounter (may be null) counts routed packets.
    void start(std::atomic<int64_t>* packetCounter);
    // Sets stop, closes both queues and joins the read thread.
    void join();
    // Before start: no audio is read after all (the chosen stream cannot be played); closes the audio queue.
    void dropAudio();

    int64_t durationUs() const;
    // The container start time removed from every timestamp, in microseconds (0 when unknown).
    int64_t startTimeUs() const;
    const AVCodecParameters* coverCodecParameters() const;
    const AVPacket* coverPicture() const;

    // FFmpeg I/O interrupt callback for inputs stopped by one flag: `opaque` points at a std::atomic<bool>.
    static int interruptCallback(void* opaque);
    // Opens an input as `open` does (the address check and protocol whitelist, the network time-out, the mms
    // fallback) with the caller's interrupt callback, for readers of their own. FFmpeg's result, the context in
    // `input` on success; an address that is refused gives AVERROR_PROTOCOL_NOT_FOUND.
    static int openFormat(const std::string& address, int64_t networkTimeoutUs, const AVIOInterruptCB& interrupt,
        AVFormatContext*& input);

    // Clockwise display rotation (0, 90, 180 or 270) from a display matrix of at least 36 bytes; 0 for a
    // missing, short or degenerate matrix.
    static int32_t rotationFromDisplayMatrix(const uint8_t* data, size_t size);

    StreamSlot audio;
    StreamSlot video;
    StreamSlot subtitle;
    int32_t coverStreamIndex = -1;
    double frameRate = 0.0;
    int32_t rotation = 0;
    int32_t sarNum = 1;
    int32_t sarDen = 1;
    MediaInfo mediaInfo;
    std::vector<FontAttachment> fonts;
    // Installed before start; runs on the read thread, must copy what it keeps.
    std::function<void(const AVPacket*, AVRational)> onSubtitlePacket;
    PacketQueue audioQueue { audioQueueCapacity };
    PacketQueue videoQueue { videoQueueCapacity };
    std::atomic<bool> finished { false };
    // The session's abort flag; set before open. Raising it makes any blocking open or read give up.
    std::atomic<bool>* abortFlag = nullptr;
    std::string lastError;
    // After a successful open of a local file whose header describes every stream: its stream information, for
    // the next open of it; null otherwise.
    std::shared_ptr<const StreamInfo> streamInfo;
    // Time-out of network inputs, in microseconds; tests shorten it.
    int64_t networkTimeoutUs = defaultNetworkTimeoutUs;

private:
    static int inputInterruptCallback(void* opaque);
    void describe(const std::string& path);
    // The stream information of the open input: `known` when it fits, else read (and kept when worth keeping).
    int readStreamInfo(const std::string& path, const std::shared_ptr<const StreamInfo>& known);
    void selectStreams(const StreamSelection& selection);
    // The rotation, sample aspect and frame rate of the chosen video stream (-1: none).
    void describePicture(int videoIndex);
    // How a look for a key frame after a seek ended: found one, ran into the end of the input, read as far as it
    // may without finding one, or failed to read.
    enum class KeyScan { Found, InputEnded, OutOfReach, Failed };
    void seekTo(int64_t startUs);
    KeyScan readToKeyFrame(int64_t& keyTs);
    void freePending();
    void readLoop(std::atomic<int64_t>* packetCounter);

    AVFormatContext* format = nullptr;
    // Packets read while positioning the input, in reading order; the read thread hands them out first.
    std::deque<AVPacket*> pending;
    std::thread thread;
    std::atomic<bool> stop { false };
};

} // namespace kvr::engine::internal
