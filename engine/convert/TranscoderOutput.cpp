// The output writer every stage of a pass ends in: muxing, the container header, progress and failure texts,
// and the records of a pass.
#include "engine/Logging.h"
#include "engine/convert/Transcoder.h"
#include "engine/internal/TranscoderJob.h"

extern "C" {
#include <libavutil/buffer.h>
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <vector>

namespace kvr::engine {

Transcoder::OutputStream::~OutputStream()
{
    avfilter_graph_free(&graph);
    av_bsf_free(&annexB);
    if (encoder)
        av_freep(&encoder->stats_in); // libavcodec leaves the second pass's log to its caller
    avcodec_free_context(&encoder);
    avcodec_free_context(&decoder);
}

Transcoder::Job::~Job()
{
    outputs.clear();
    byInputIndex.clear();
    videoOut = nullptr;
    if (outputContext) {
        if (sinkIo) {
            // FFmpeg may have replaced the buffer it was given: free the one it holds now.
            av_freep(&sinkIo->buffer);
            avio_context_free(&sinkIo);
            outputContext->pb = nullptr;
        } else if (!(outputContext->oformat->flags & AVFMT_NOFILE)) {
            avio_closep(&outputContext->pb);
        }
        avformat_free_context(outputContext);
        outputContext = nullptr;
    }
    if (inputContext)
        avformat_close_input(&inputContext);
    burnInDecoder.reset(); // it points at the renderer
    burnIn.reset();
    av_buffer_unref(&hardwareDevice);
    for (AVPacket*& packet : heldVideoPackets)
        av_packet_free(&packet);
    heldVideoPackets.clear();
    for (AVPacket*& packet : earlyPackets)
        av_packet_free(&packet);
    earlyPackets.clear();
}

bool Transcoder::fail(Job& job, const std::string& what, const std::string& detail)
{
    job.error = what + ": " + detail;
    logError(
        "Transcoder [{} -> {}]: {} (frame {})", job.options->input, job.options->output, job.error, job.videoFrames);
    return false;
}

bool Transcoder::writeHeader(Job& job)
{
    const TranscodeOptions& o = *job.options;
    AVDictionary* options = nullptr;
    if (o.outputSink && (o.container == "mp4" || o.container == "mov"))
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
    else if (o.container == "mp4" || o.container == "mov" || o.container == "m4a")
        av_dict_set(&options, "movflags", "+faststart", 0);
    const int r = avformat_write_header(job.outputContext, &options);
    av_dict_free(&options);
    if (r < 0) {
        if (r == AVERROR_EXIT)
            job.interrupted = true;
        return fail(job, "muxer", errorString(r));
    }
    job.headerWritten = true;
    return true;
}

namespace {

constexpr size_t maxHeldVideoPackets = 8;

// The parameter sets an encoder put in a packet rather than in its extradata, made the output stream's
// extradata; false when the packet has none.
bool takeParameterSets(Transcoder::OutputStream& stream, const AVPacket* packet, AVRational timeBase)
{
    const AVBitStreamFilter* filter = av_bsf_get_by_name("extract_extradata");
    AVBSFContext* bsf = nullptr;
    if (!filter || !stream.encoder || av_bsf_alloc(filter, &bsf) < 0)
        return false;
    bool found = false;
    AVPacket* work = av_packet_clone(packet);
    if (work && avcodec_parameters_from_context(bsf->par_in, stream.encoder) >= 0) {
        bsf->time_base_in = timeBase;
        if (av_bsf_init(bsf) >= 0 && av_bsf_send_packet(bsf, work) >= 0) {
            while (av_bsf_receive_packet(bsf, work) >= 0) {
                size_t size = 0;
                const uint8_t* data = av_packet_get_side_data(work, AV_PKT_DATA_NEW_EXTRADATA, &size);
                if (!found && data && size > 0 && size < INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE) {
                    AVCodecParameters* par = stream.stream->codecpar;
                    uint8_t* copy = static_cast<uint8_t*>(av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE));
                    if (copy) {
                        std::memcpy(copy, data, size);
                        av_freep(&par->extradata);
                        par->extradata = copy;
                        par->extradata_size = static_cast<int>(size);
                        found = true;
                    }
                }
                av_packet_unref(work);
            }
        }
    }
    av_packet_free(&work);
    av_bsf_free(&bsf);
    return found;
}

// Broken inputs repeat a time stamp or step back (a DVD's AC-3, a spliced broadcast); the muxer refuses such a
// packet and with it the whole job. The packet goes on after the one before instead.
void repairTimes(Transcoder::OutputStream& stream, AVPacket* packet)
{
    if (packet->dts == AV_NOPTS_VALUE)
        return;
    // Cues and data may share a time; sound and pictures may not, even where the container would take it.
    const AVMediaType type = stream.stream->codecpar->codec_type;
    const bool equalAllowed = type == AVMEDIA_TYPE_SUBTITLE || type == AVMEDIA_TYPE_DATA;
    if (stream.lastDts != INT64_MIN
        && (packet->dts < stream.lastDts || (packet->dts == stream.lastDts && !equalAllowed))) {
        if (!stream.timesRepaired) {
            logWarning("Transcoder: stream {} has time stamps that do not increase; moved on to keep them in order",
                stream.inputIndex);
            stream.timesRepaired = true;
        }
        // Where the packet before ended, so a repeated frame does not overlap it; at least one tick on.
        packet->dts = stream.lastDts + std::max<int64_t>(1, stream.lastDuration);
        if (packet->pts != AV_NOPTS_VALUE && packet->pts < packet->dts)
            packet->pts = packet->dts;
    }
    stream.lastDts = packet->dts;
    stream.lastDuration = packet->duration;
}

// How far the output has come: the video's time when there is video (the other streams run ahead of an
// encoder that holds frames), else the time of the audio stream furthest behind among those still running.
int64_t muxedPosition(const Transcoder::Job& job)
{
    if (job.videoOut && job.videoOut->stream)
        return job.videoOut->writtenUs;
    int64_t position = INT64_MIN;
    for (const auto& os : job.outputs) {
        if (!os->stream || os->finished || os->writtenUs == INT64_MIN
            || os->stream->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        position = position == INT64_MIN ? os->writtenUs : std::min(position, os->writtenUs);
    }
    return position;
}

} // namespace

bool Transcoder::writePacket(Job& job, OutputStream& stream, AVPacket* packet, AVRational timeBase)
{
    if (job.pass == 1)
        return true;
    if (!job.headerWritten && job.awaitingExtradata && &stream == job.videoOut && stream.stream) {
        bool current = false;
        if (!takeParameterSets(stream, packet, timeBase)) {
            AVPacket* clone = av_packet_clone(packet);
            if (!clone)
                return fail(job, "muxer", errorString(AVERROR(ENOMEM)));
            job.heldVideoPackets.push_back(clone);
            if (job.heldVideoPackets.size() < maxHeldVideoPackets)
                return true;
            current = true; // with 8 held the header goes out without parameter sets
        }
        if (!writeHeader(job))
            return false;
        job.awaitingExtradata = false;
        std::vector<AVPacket*> held;
        held.swap(job.heldVideoPackets);
        bool good = true;
        for (AVPacket*& p : held) {
            if (good)
                good = writePacket(job, stream, p, timeBase);
            av_packet_free(&p);
        }
        if (!good || current)
            return good;
    }
    // Until the header exists nothing can be muxed.
    if (!job.headerWritten || !stream.stream)
        return true;
    packet->stream_index = stream.stream->index;
    av_packet_rescale_ts(packet, timeBase, stream.stream->time_base);
    repairTimes(stream, packet);
    if (packet->pts != AV_NOPTS_VALUE) {
        const int64_t us = av_rescale_q(packet->pts, stream.stream->time_base, AVRational { 1, 1000000 });
        stream.writtenUs = std::max(stream.writtenUs, us);
        const int64_t position = muxedPosition(job);
        if (position != INT64_MIN)
            reportProgress(job, position);
    }
    job.bytesWritten += packet->size;
    const int r = av_interleaved_write_frame(job.outputContext, packet);
    if (r < 0) {
        if (r == AVERROR_EXIT)
            job.interrupted = true;
        return fail(job, "muxer", errorString(r));
    }
    return true;
}

bool nextProgress(ProgressState& state, int64_t nowNs, int64_t positionUs, int64_t durationUs, int64_t videoFrames,
    int pass, int passes, int64_t bytes, TranscodeProgress& report)
{
    constexpr int64_t minimumGapNs = 500'000'000;
    if (state.lastReportAt != 0 && nowNs - state.lastReportAt < minimumGapNs)
        return false;
    state.lastReportAt = nowNs;

    const double elapsed = static_cast<double>(nowNs - state.startedAt) / 1e9;
    const double position = static_cast<double>(positionUs) / 1e6;
    auto& window = state.speedWindow;
    window.emplace_back(elapsed, position);
    while (window.size() > 2 && window.back().first - window.front().first > 10.0)
        window.erase(window.begin());

    double speed = 0;
    const double span = window.back().first - window.front().first;
    if (span > 0.2)
        speed = (window.back().second - window.front().second) / span;
    else if (elapsed > 0)
        speed = position / elapsed;

    report = TranscodeProgress {};
    // Early packets may sit before the start (B-frame reordering), so the position can step back: never a
    // negative speed.
    report.speed = std::max(speed, 0.0);
    report.rate = elapsed > 0 ? static_cast<double>(videoFrames) / elapsed : 0;
    report.pass = pass == 0 ? 1 : pass;
    report.passes = passes;
    report.bytes = bytes;
    report.fraction = 0;
    report.etaSeconds = -1;
    if (durationUs > 0) {
        const double duration = static_cast<double>(durationUs) / 1e6;
        // Packets may sit before the start (B-frame reordering) or past the stated duration: neither may take
        // the fraction out of 0..1 or the estimate below 0.
        const double done = std::clamp(position, 0.0, duration);
        report.fraction = (report.pass - 1 + done / duration) / report.passes;
        if (speed > 0.01)
            report.etaSeconds = ((report.passes - report.pass) * duration + (duration - done)) / speed;
    }
    return true;
}

void Transcoder::reportProgress(Job& job, int64_t positionUs)
{
    if (!job.progress || !*job.progress)
        return;
    const int64_t now
        = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
              .count();
    // Never backwards: reordered or held packets may come out behind what was already reported.
    job.progressUs = std::max(job.progressUs, positionUs);
    TranscodeProgress report;
    if (nextProgress(job.progressState, now, job.progressUs, job.durationUs, job.videoFrames, job.pass, job.passes,
            job.bytesWritten, report))
        (*job.progress)(report);
}

} // namespace kvr::engine
