#include "engine/internal/SubtitlePrescan.h"

#include "engine/internal/FfmpegSupport.h"

#include "engine/internal/Demuxer.h"
#include "engine/internal/SubtitleDecoder.h"

extern "C" {
#include <libavformat/avformat.h>
}
#include <spdlog/spdlog.h>

#include <cerrno>
#include <exception>
#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

namespace kvr::engine::internal {
namespace {

struct Input {
    AVFormatContext* format = nullptr;
    AVPacket* packet = nullptr;
    ~Input()
    {
        av_packet_free(&packet);
        avformat_close_input(&format);
    }
};

int64_t runPrescan(const SubtitlePrescanJob& job)
{
    Input input;
    input.format = avformat_alloc_context();
    if (!input.format)
        return 0;
    input.format->interrupt_callback.callback = Demuxer::interruptCallback;
    input.format->interrupt_callback.opaque = const_cast<std::atomic<bool>*>(job.abort);
    if (avformat_open_input(&input.format, job.path.c_str(), nullptr, nullptr) < 0)
        return 0; // a failed open has freed the context
    if (job.streamIndex < 0 || unsigned(job.streamIndex) >= input.format->nb_streams)
        return 0;
    const AVStream* stream = input.format->streams[job.streamIndex];
    if (stream->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE)
        return 0;
    for (unsigned i = 0; i < input.format->nb_streams; ++i)
        if (int(i) != job.streamIndex)
            input.format->streams[i]->discard = AVDISCARD_ALL;

    SubtitleDecoder decoder;
    if (!decoder.open(stream->codecpar, job.renderer.get(), job.videoWidth, job.videoHeight))
        return 0;

    const int64_t startUs = job.startTimeUs != AV_NOPTS_VALUE ? job.startTimeUs
        : input.format->start_time != AV_NOPTS_VALUE          ? input.format->start_time
                                                              : 0;
    const int64_t offset = av_rescale_q(startUs, AV_TIME_BASE_Q, stream->time_base);
    input.packet = av_packet_alloc();
    int64_t decoded = 0;
    while (input.packet && !(job.abort && job.abort->load())) {
        if (av_read_frame(input.format, input.packet) < 0)
            break;
        if (input.packet->stream_index == job.streamIndex) {
            if (input.packet->pts != AV_NOPTS_VALUE)
                input.packet->pts -= offset;
            if (input.packet->dts != AV_NOPTS_VALUE)
                input.packet->dts -= offset;
            std::lock_guard<std::mutex> lock(*job.subtitleMutex);
            // The user may have switched away meanwhile; the rest of the file is still read, and ignored.
            if (job.currentSubtitleTrack->load() == job.streamIndex) {
                decoder.decodePacket(input.packet, stream->time_base);
                ++decoded;
            }
        }
        av_packet_unref(input.packet);
    }
    avformat_close_input(&input.format);
    spdlog::info("Subtitles: pre-scan of stream {} read {} packets{}", job.streamIndex, decoded,
        job.abort && job.abort->load() ? " (aborted)" : "");
    return decoded;
}

} // namespace

int64_t subtitlePrescan(const SubtitlePrescanJob& job)
{
    pthread_setname_np(pthread_self(), "kvr-scan");
    lowerThreadPriority();
    if (!job.renderer || !job.subtitleMutex || !job.currentSubtitleTrack)
        return 0;
    try {
        return runPrescan(job);
    } catch (const std::exception& e) {
        spdlog::warn("Subtitles: pre-scan of stream {} failed: {}", job.streamIndex, e.what());
    } catch (...) {
        spdlog::warn("Subtitles: pre-scan of stream {} failed", job.streamIndex);
    }
    return 0;
}

} // namespace kvr::engine::internal
