// Which output streams a pass makes, one per carried input stream.
#include "engine/Logging.h"
#include "engine/Transcoder.h"
#include "engine/internal/TranscoderJob.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
}

namespace kvr::engine {

namespace {

// The start position in the input stream's time base, measured from the container's start time; 0 when the
// whole input is converted.
int64_t startOffsetFor(const Transcoder::Job& job, const AVStream* input)
{
    if (job.options->startUs < 1)
        return 0;
    return av_rescale_q(job.inputStartUs + job.options->startUs, AVRational { 1, 1000000 }, input->time_base);
}

void registerStream(Transcoder::Job& job, std::unique_ptr<Transcoder::OutputStream> stream)
{
    job.byInputIndex[stream->inputIndex] = stream.get();
    job.outputs.push_back(std::move(stream));
}

// A new output stream with the input's parameters, no codec tag (the muxer picks its own) and the input's
// time base; null when FFmpeg cannot make one.
AVStream* copiedStream(Transcoder::Job& job, const AVStream* input)
{
    AVStream* out = avformat_new_stream(job.outputContext, nullptr);
    if (!out)
        return nullptr;
    if (avcodec_parameters_copy(out->codecpar, input->codecpar) < 0)
        return nullptr;
    out->codecpar->codec_tag = 0;
    out->time_base = input->time_base;
    return out;
}

// avformat_query_codec: 1 yes, 0 a definite no, anything else cannot tell.
bool definitelyNot(const Transcoder::Job& job, const AVStream* input)
{
    return avformat_query_codec(job.outputContext->oformat, input->codecpar->codec_id, 0) == 0;
}

} // namespace

bool Transcoder::setupVideoStream(Job& job, int inputIndex)
{
    const AVStream* input = job.inputContext->streams[inputIndex];
    auto os = std::make_unique<OutputStream>();
    os->inputIndex = inputIndex;
    os->startOffset = startOffsetFor(job, input);
    if (job.options->videoCodec != "copy")
        return fail(job, "encoder", "video encoding is not available yet; choose \"copy\" or \"none\"");
    if (job.pass == 1)
        return true; // a first pass writes no video
    if (definitelyNot(job, input))
        return fail(job, "muxer",
            "the " + job.options->container + " container cannot hold " + avcodec_get_name(input->codecpar->codec_id)
                + " video as-is");
    os->kind = StreamKind::Copy;
    os->stream = copiedStream(job, input);
    if (!os->stream)
        return fail(job, "muxer", errorString(AVERROR(ENOMEM)));
    os->stream->avg_frame_rate = input->avg_frame_rate;
    job.videoOut = os.get();
    registerStream(job, std::move(os));
    return true;
}

bool Transcoder::setupAudioStream(Job& job, int inputIndex)
{
    const AVStream* input = job.inputContext->streams[inputIndex];
    auto os = std::make_unique<OutputStream>();
    os->inputIndex = inputIndex;
    os->startOffset = startOffsetFor(job, input);
    if (job.options->audioCodec != "copy")
        return fail(job, "encoder", "audio encoding is not available yet; choose \"copy\" or \"none\"");
    if (definitelyNot(job, input))
        return fail(job, "muxer",
            "the " + job.options->container + " container cannot hold " + avcodec_get_name(input->codecpar->codec_id)
                + " audio as-is");
    os->kind = StreamKind::Copy;
    os->stream = copiedStream(job, input);
    if (!os->stream)
        return fail(job, "muxer", errorString(AVERROR(ENOMEM)));
    if (job.options->keepMetadata)
        av_dict_copy(&os->stream->metadata, input->metadata, 0);
    os->stream->disposition = input->disposition & ~AV_DISPOSITION_ATTACHED_PIC;
    registerStream(job, std::move(os));
    return true;
}

bool Transcoder::setupSubtitleStreams(Job& job, int inputIndex, bool allowConversion)
{
    const AVStream* input = job.inputContext->streams[inputIndex];
    const AVCodecID codec = input->codecpar->codec_id;
    const int answer = avformat_query_codec(job.outputContext->oformat, codec, 0);
    if (allowConversion && answer != 1) {
        // Text conversion comes with the encoders; until then the stream is left out rather than failing.
        logWarning("Transcoder: subtitle stream {} ({}) needs converting for {}; dropped", inputIndex,
            avcodec_get_name(codec), job.options->container);
        return true;
    }
    if (answer == 0) {
        logWarning("Transcoder: dropping subtitle stream {} ({} not allowed in {})", inputIndex,
            avcodec_get_name(codec), job.options->container);
        return true;
    }
    auto os = std::make_unique<OutputStream>();
    os->inputIndex = inputIndex;
    os->startOffset = startOffsetFor(job, input);
    os->kind = StreamKind::Copy;
    os->stream = copiedStream(job, input);
    if (!os->stream)
        return true;
    av_dict_copy(&os->stream->metadata, input->metadata, 0);
    os->stream->disposition = input->disposition;
    registerStream(job, std::move(os));
    return true;
}

bool Transcoder::copyStream(Job& job, int inputIndex)
{
    const AVStream* input = job.inputContext->streams[inputIndex];
    if (definitelyNot(job, input))
        return true;
    auto os = std::make_unique<OutputStream>();
    os->inputIndex = inputIndex;
    os->kind = StreamKind::CoverArt;
    os->stream = copiedStream(job, input);
    if (!os->stream)
        return true;
    os->stream->disposition = AV_DISPOSITION_ATTACHED_PIC;
    registerStream(job, std::move(os));
    return true;
}

} // namespace kvr::engine
