// Which output streams a pass makes, one per carried input stream.
#include "engine/Logging.h"
#include "engine/convert/Transcoder.h"
#include "engine/internal/EncoderSupport.h"
#include "engine/internal/FfmpegSupport.h"
#include "engine/internal/TranscoderJob.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <algorithm>
#include <cstring>

namespace kvr::engine {

namespace {

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

// A copied picture keeps its turn where the container can say it (MP4, MOV); this FFmpeg's Matroska, WebM,
// MPEG-TS and AVI writers drop it, and the copy goes on unturned.
void keepDisplayMatrix(const Transcoder::Job& job, const AVStream* input, AVStream* out)
{
    size_t size = 0;
    const uint8_t* matrix = internal::streamDisplayMatrix(input, size);
    if (!matrix || size == 0)
        return;
    const std::string& container = job.options->container;
    if (container != "mp4" && container != "mov") {
        logWarning("Transcoder: the {} container keeps no rotation; the copied video will show unturned", container);
        return;
    }
    uint8_t* copy = av_stream_new_side_data(out, AV_PKT_DATA_DISPLAYMATRIX, size);
    if (copy)
        std::memcpy(copy, matrix, size);
    else
        logWarning("Transcoder: could not keep the video's rotation");
}

// avformat_query_codec: 1 yes, 0 a definite no, anything else cannot tell.
bool definitelyNot(const Transcoder::Job& job, const AVStream* input)
{
    return avformat_query_codec(job.outputContext->oformat, input->codecpar->codec_id, 0) == 0;
}

// Opens the stream's decoder from the input's parameters; false with the job's error set.
bool openDecoder(
    Transcoder::Job& job, Transcoder::OutputStream& os, const AVStream* input, const char* kind, bool automaticThreads)
{
    const AVCodecID codecId = input->codecpar->codec_id;
    const AVCodec* decoder = avcodec_find_decoder(codecId);
    if (!decoder)
        return Transcoder::fail(
            job, "decoder", std::string("no ") + kind + " decoder for " + avcodec_get_name(codecId));
    os.decoder = avcodec_alloc_context3(decoder);
    if (!os.decoder)
        return Transcoder::fail(job, "decoder", errorString(AVERROR(ENOMEM)));
    int r = avcodec_parameters_to_context(os.decoder, input->codecpar);
    if (r < 0)
        return Transcoder::fail(job, "decoder", errorString(r));
    os.decoder->pkt_timebase = input->time_base;
    if (automaticThreads)
        os.decoder->thread_count = 0;
    r = avcodec_open2(os.decoder, decoder, nullptr);
    if (r < 0)
        return Transcoder::fail(job, "decoder", errorString(r));
    return true;
}

// The decoder, encoder, graph and output stream of a re-encoded audio stream; false with the job's error set.
bool setupAudioEncode(Transcoder::Job& job, Transcoder::OutputStream& os, const AVStream* input)
{
    const TranscodeOptions& o = *job.options;
    os.kind = Transcoder::StreamKind::EncodeAudio;
    if (!openDecoder(job, os, input, "audio", false))
        return false;

    const AVCodec* encoder = Transcoder::findEncoder(o.audioCodec);
    if (!encoder)
        return Transcoder::fail(job, "encoder", "no " + o.audioCodec + " encoder in this build");
    const internal::EncoderConfig config = internal::supportedConfig(encoder);
    AVCodecContext* dec = os.decoder;
    os.encoder = avcodec_alloc_context3(encoder);
    if (!os.encoder)
        return Transcoder::fail(job, "encoder", errorString(AVERROR(ENOMEM)));
    AVCodecContext* enc = os.encoder;

    enc->sample_fmt = dec->sample_fmt;
    if (!config.sampleFormats.empty()
        && std::find(config.sampleFormats.begin(), config.sampleFormats.end(), dec->sample_fmt)
            == config.sampleFormats.end())
        enc->sample_fmt = config.sampleFormats.front();

    const int wantedRate = o.sampleRate > 0 ? o.sampleRate : dec->sample_rate;
    enc->sample_rate = nearestSampleRate(config.sampleRates, wantedRate);
    enc->time_base = AVRational { 1, enc->sample_rate };

    const int channels = audioChannelCount(
        o.audioCodec, encoder->name, o.audioChannels > 0 ? o.audioChannels : dec->ch_layout.nb_channels);
    av_channel_layout_default(&enc->ch_layout, channels);
    // An encoder with a list of layouts takes only those: when the default one is not listed, a listed layout
    // with the same number of channels stands in for it.
    if (!config.channelLayouts.empty()) {
        bool listed = false;
        const AVChannelLayout* sameCount = nullptr;
        for (const AVChannelLayout& layout : config.channelLayouts) {
            listed = listed || av_channel_layout_compare(&layout, &enc->ch_layout) == 0;
            if (!sameCount && layout.nb_channels == channels)
                sameCount = &layout;
        }
        if (!listed && sameCount) {
            av_channel_layout_uninit(&enc->ch_layout);
            av_channel_layout_copy(&enc->ch_layout, sameCount);
        }
    }

    const int64_t bitRate = audioBitRate(o.audioCodec, channels, o.audioKbps);
    if (bitRate > 0)
        enc->bit_rate = bitRate;
    AVDictionary* options = nullptr;
    if (std::strcmp(encoder->name, "opus") == 0)
        enc->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (std::strcmp(encoder->name, "libopus") == 0 && channels > 2)
        av_dict_set(&options, "mapping_family", "1", 0);
    if (job.outputContext->oformat->flags & AVFMT_GLOBALHEADER)
        enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    internal::addEncoderOpenOptions(encoder, &options);
    const int r = avcodec_open2(enc, encoder, &options);
    av_dict_free(&options);
    if (r < 0)
        return Transcoder::fail(job, "encoder", std::string(encoder->name) + ": " + errorString(r));

    if (!Transcoder::buildAudioGraph(job, os))
        return false;
    os.stream = avformat_new_stream(job.outputContext, nullptr);
    if (!os.stream || avcodec_parameters_from_context(os.stream->codecpar, enc) < 0)
        return Transcoder::fail(job, "muxer", errorString(AVERROR(ENOMEM)));
    os.stream->time_base = enc->time_base;
    return true;
}

// A text subtitle stream re-encoded into the container's own text format; left out, without a word, when its
// decoder or the text encoder is missing or does not open.
void convertSubtitleStream(Transcoder::Job& job, int inputIndex)
{
    const std::string& container = job.options->container;
    const AVStream* input = job.inputContext->streams[inputIndex];
    const char* encoderName = container == "webm"                        ? "webvtt"
        : container == "mp4" || container == "mov" || container == "m4a" ? "mov_text"
                                                                         : "subrip";
    const AVCodec* encoder = avcodec_find_encoder_by_name(encoderName);
    const AVCodec* decoder = avcodec_find_decoder(input->codecpar->codec_id);
    if (!encoder || !decoder)
        return;
    auto os = std::make_unique<Transcoder::OutputStream>();
    os->inputIndex = inputIndex;
    os->kind = Transcoder::StreamKind::ConvertSubtitle;
    os->decoder = avcodec_alloc_context3(decoder);
    if (!os->decoder || avcodec_parameters_to_context(os->decoder, input->codecpar) < 0)
        return;
    os->decoder->pkt_timebase = input->time_base;
    if (avcodec_open2(os->decoder, decoder, nullptr) < 0)
        return;
    os->encoder = avcodec_alloc_context3(encoder);
    if (!os->encoder)
        return;
    os->encoder->time_base = AVRational { 1, 1000000 };
    if (os->decoder->subtitle_header && os->decoder->subtitle_header_size > 0) {
        // The styles block of the decoded events; the encoders read it as a string.
        const int size = os->decoder->subtitle_header_size;
        os->encoder->subtitle_header = static_cast<uint8_t*>(av_mallocz(static_cast<size_t>(size) + 1));
        if (!os->encoder->subtitle_header)
            return;
        std::memcpy(os->encoder->subtitle_header, os->decoder->subtitle_header, static_cast<size_t>(size));
        os->encoder->subtitle_header_size = size;
    }
    if (avcodec_open2(os->encoder, encoder, nullptr) < 0)
        return;
    os->stream = avformat_new_stream(job.outputContext, nullptr);
    if (!os->stream || avcodec_parameters_from_context(os->stream->codecpar, os->encoder) < 0)
        return;
    os->stream->time_base = AVRational { 1, 1000000 };
    av_dict_copy(&os->stream->metadata, input->metadata, 0);
    registerStream(job, std::move(os));
}

} // namespace

bool Transcoder::setupVideoStream(Job& job, int inputIndex)
{
    const AVStream* input = job.inputContext->streams[inputIndex];
    auto os = std::make_unique<OutputStream>();
    os->inputIndex = inputIndex;
    if (job.options->videoCodec != "copy") {
        // The encoder, and with it the output stream's parameters, come with the first decoded frame.
        os->kind = StreamKind::EncodeVideo;
        if (!openDecoder(job, *os, input, "video", true))
            return false;
        if (job.pass != 1) {
            os->stream = avformat_new_stream(job.outputContext, nullptr);
            if (!os->stream)
                return fail(job, "muxer", errorString(AVERROR(ENOMEM)));
            os->stream->disposition = input->disposition & ~AV_DISPOSITION_ATTACHED_PIC;
        }
        job.videoOut = os.get();
        registerStream(job, std::move(os));
        return true;
    }
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
    keepDisplayMatrix(job, input, os->stream);
    // AVI holds H.264 and HEVC only with start codes; MP4 and Matroska carry length-prefixed units.
    const AVCodecParameters* par = input->codecpar;
    const bool lengthPrefixed = par->extradata_size > 0 && par->extradata[0] == 1;
    if (job.options->container == "avi" && lengthPrefixed
        && (par->codec_id == AV_CODEC_ID_H264 || par->codec_id == AV_CODEC_ID_HEVC)) {
        const AVBitStreamFilter* filter
            = av_bsf_get_by_name(par->codec_id == AV_CODEC_ID_H264 ? "h264_mp4toannexb" : "hevc_mp4toannexb");
        int r = filter ? av_bsf_alloc(filter, &os->annexB) : AVERROR_BSF_NOT_FOUND;
        if (r >= 0)
            r = avcodec_parameters_copy(os->annexB->par_in, par);
        if (r >= 0) {
            os->annexB->time_base_in = input->time_base;
            r = av_bsf_init(os->annexB);
        }
        if (r >= 0)
            r = avcodec_parameters_copy(os->stream->codecpar, os->annexB->par_out);
        if (r < 0)
            return fail(job, "muxer", errorString(r));
        os->stream->codecpar->codec_tag = 0;
    }
    job.videoOut = os.get();
    registerStream(job, std::move(os));
    return true;
}

bool Transcoder::setupAudioStream(Job& job, int inputIndex)
{
    const TranscodeOptions& o = *job.options;
    const AVStream* input = job.inputContext->streams[inputIndex];
    auto os = std::make_unique<OutputStream>();
    os->inputIndex = inputIndex;
    if (o.audioCodec == "copy") {
        if (definitelyNot(job, input))
            return fail(job, "muxer",
                "the " + o.container + " container cannot hold " + avcodec_get_name(input->codecpar->codec_id)
                    + " audio as-is");
        os->kind = StreamKind::Copy;
        os->stream = copiedStream(job, input);
        if (!os->stream)
            return fail(job, "muxer", errorString(AVERROR(ENOMEM)));
    } else if (!setupAudioEncode(job, *os, input)) {
        return false;
    }
    // This FFmpeg writes FLAC into MP4 only when told that experimental output is wanted.
    if (os->stream->codecpar->codec_id == AV_CODEC_ID_FLAC)
        job.outputContext->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    if (o.keepMetadata)
        av_dict_copy(&os->stream->metadata, input->metadata, 0);
    os->stream->disposition = input->disposition & ~AV_DISPOSITION_ATTACHED_PIC;
    registerStream(job, std::move(os));
    return true;
}

bool Transcoder::setupSubtitleStreams(Job& job, int inputIndex, bool allowConversion)
{
    const TranscodeOptions& o = *job.options;
    const AVStream* input = job.inputContext->streams[inputIndex];
    const AVCodecID codec = input->codecpar->codec_id;
    // The AVI muxer takes no subtitle stream at all, yet answers "cannot tell": the header would fail the job.
    const int answer = o.container == "avi" ? 0 : avformat_query_codec(job.outputContext->oformat, codec, 0);
    if (allowConversion && answer != 1 && o.container != "avi") {
        const AVCodecDescriptor* descriptor = avcodec_descriptor_get(codec);
        if (descriptor && (descriptor->props & AV_CODEC_PROP_BITMAP_SUB)) {
            logWarning(
                "Transcoder: bitmap subtitle stream {} cannot be converted to text (no OCR); dropped", inputIndex);
            return true;
        }
        convertSubtitleStream(job, inputIndex);
        return true;
    }
    if (answer == 0) {
        logWarning("Transcoder: dropping subtitle stream {} ({} not allowed in {})", inputIndex,
            avcodec_get_name(codec), o.container);
        return true;
    }
    auto os = std::make_unique<OutputStream>();
    os->inputIndex = inputIndex;
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
