// How long MediaSession::open takes on a local 10 s 4K H.264/AAC file and a 1080p one it generates itself, on the
// default endpoint (the PulseAudio server named by PULSE_SERVER, for example a null sink), against the open floor:
// avformat_open_input, avformat_find_stream_info and the opening of the two decoders the session opens (video
// with the automatic thread count, as the session decodes), nothing else. Also the open and the first picture
// against the floor's open and its first decoded picture, so work moved from the open to the start shows. The two
// sides alternate open by open (A B A B); medians are printed. The media is closed outside the timed part.
#include "engine/MediaSession.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <spdlog/spdlog.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

using kvr::engine::MediaSession;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int rounds = 21;

double msSince(Clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

// The floor: the input and its decoders opened as the session needs them, and optionally the first picture.
class FloorOpen {
public:
    ~FloorOpen()
    {
        av_frame_free(&frame_);
        av_packet_free(&packet_);
        avcodec_free_context(&video_);
        avcodec_free_context(&audio_);
        avformat_close_input(&format_);
    }

    bool open(const std::string& path)
    {
        if (avformat_open_input(&format_, path.c_str(), nullptr, nullptr) < 0
            || avformat_find_stream_info(format_, nullptr) < 0)
            return false;
        videoIndex_ = av_find_best_stream(format_, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        const int audioIndex = av_find_best_stream(format_, AVMEDIA_TYPE_AUDIO, -1, videoIndex_, nullptr, 0);
        if (videoIndex_ >= 0 && !openDecoder(videoIndex_, video_, true))
            return false;
        return audioIndex < 0 || openDecoder(audioIndex, audio_, false);
    }

    bool firstPicture()
    {
        packet_ = av_packet_alloc();
        frame_ = av_frame_alloc();
        if (!video_ || !packet_ || !frame_)
            return false;
        while (av_read_frame(format_, packet_) >= 0) {
            const bool mine = packet_->stream_index == videoIndex_;
            const int sent = mine ? avcodec_send_packet(video_, packet_) : 0;
            av_packet_unref(packet_);
            if (sent < 0)
                return false;
            if (mine && avcodec_receive_frame(video_, frame_) >= 0)
                return true;
        }
        avcodec_send_packet(video_, nullptr);
        return avcodec_receive_frame(video_, frame_) >= 0;
    }

private:
    bool openDecoder(int index, AVCodecContext*& context, bool threads)
    {
        const AVCodecParameters* par = format_->streams[index]->codecpar;
        const AVCodec* codec = avcodec_find_decoder(par->codec_id);
        context = codec ? avcodec_alloc_context3(codec) : nullptr;
        if (!context || avcodec_parameters_to_context(context, par) < 0)
            return false;
        if (threads) {
            context->thread_count = 0;
            context->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        }
        return avcodec_open2(context, codec, nullptr) >= 0;
    }

    AVFormatContext* format_ = nullptr;
    AVCodecContext* video_ = nullptr;
    AVCodecContext* audio_ = nullptr;
    AVPacket* packet_ = nullptr;
    AVFrame* frame_ = nullptr;
    int videoIndex_ = -1;
};

struct Times {
    std::vector<double> open;
    std::vector<double> toPicture;
};

bool floorOnce(const fs::path& clip, Times& times)
{
    const auto start = Clock::now();
    {
        FloorOpen floor;
        if (!floor.open(clip.string()))
            return false;
        times.open.push_back(msSince(start));
        if (!floor.firstPicture())
            return false;
        times.toPicture.push_back(msSince(start));
        // Closing is not timed: the session's close is not either.
    }
    return true;
}

bool oursOnce(MediaSession& session, const fs::path& clip, Times& times)
{
    const auto start = Clock::now();
    if (!session.open(clip, 0)) {
        std::fprintf(stderr, "open failed: %s\n", session.lastError().c_str());
        return false;
    }
    times.open.push_back(msSince(start));
    session.play();
    std::shared_ptr<kvr::engine::VideoFrame> frame;
    while (!(frame = session.takeFrame(session.videoClockUs(), true)) && msSince(start) < 10'000)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    if (!frame)
        return false;
    times.toPicture.push_back(msSince(start));
    session.close();
    return true;
}

bool measure(const char* name, const fs::path& clip)
{
    MediaSession session;
    Times floor;
    Times ours;
    // One of each first: the first open of a process loads libraries and probes the hardware decoder.
    Times warmUp;
    if (!floorOnce(clip, warmUp) || !oursOnce(session, clip, warmUp))
        return false;
    for (int i = 0; i < rounds; ++i) {
        if (!floorOnce(clip, floor) || !oursOnce(session, clip, ours))
            return false;
    }
    const double floorOpen = median(floor.open);
    const double oursOpen = median(ours.open);
    std::printf("open_%s_floor_median: %.1f ms\n", name, floorOpen);
    std::printf("open_%s_median: %.1f ms\n", name, oursOpen);
    std::printf("open_%s_ratio_to_floor: %.2f x\n", name, oursOpen / floorOpen);
    std::printf("open_%s_first_picture_floor_median: %.1f ms\n", name, median(floor.toPicture));
    std::printf("open_%s_first_picture_median: %.1f ms\n", name, median(ours.toPicture));
    std::printf(
        "open_%s_first_picture_ratio_to_floor: %.2f x\n", name, median(ours.toPicture) / median(floor.toPicture));
    return true;
}

} // namespace

int main()
{
    spdlog::set_level(spdlog::level::err);
    const fs::path dir = fs::temp_directory_path() / ("kvr-open-bench-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    struct Clip {
        const char* name;
        const char* size;
        const char* rate;
    };
    const Clip clips[] = { { "4k", "3840x2160", "30" }, { "1080p", "1920x1080", "25" } };
    int status = 0;
    for (const Clip& c : clips) {
        const fs::path clip = dir / (std::string(c.name) + ".mp4");
        const std::string make
            = std::string("ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=") + c.size
            + ":rate=" + c.rate
            + ":duration=10 -f lavfi -i sine=frequency=440:sample_rate=48000:duration=10 -c:v libx264 -preset veryfast "
              "-g 60 -pix_fmt yuv420p -c:a aac -b:a 128k '"
            + clip.string() + "'";
        if (std::system(make.c_str()) != 0) {
            std::fprintf(stderr, "cannot generate the %s clip with ffmpeg\n", c.name);
            status = 1;
            break;
        }
        if (!measure(c.name, clip)) {
            status = 1;
            break;
        }
    }
    fs::remove_all(dir);
    return status;
}
