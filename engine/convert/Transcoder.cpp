// Runs one conversion: the pre-flight checks, one or two passes, and in each pass the read loop that routes
// packets to the output streams.
#include "engine/convert/Transcoder.h"

#include "engine/Logging.h"
#include "engine/internal/Demuxer.h"
#include "engine/internal/FfmpegSupport.h"
#include "engine/internal/SubtitleDecoder.h"
#include "engine/internal/SubtitleRenderer.h"
#include "engine/internal/TranscoderJob.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
#include <libavformat/avformat.h>
#include <libavutil/dict.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
}

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <deque>
#include <initializer_list>
#include <set>

namespace kvr::engine {

namespace {

constexpr int sinkBufferSize = 262144;
constexpr size_t maxHeldPackets = 4000;
constexpr int subtitleBufferSize = 65536;

const char* const noDecodableVideo = "input: no decodable video frames";

bool isOneOf(const std::string& value, std::initializer_list<const char*> names)
{
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return value == name; });
}

// The muxer's write callback for a live output sink; the opaque pointer is the options.
#if LIBAVFORMAT_VERSION_MAJOR >= 61
int writeToSink(void* opaque, const uint8_t* buffer, int size)
#else
int writeToSink(void* opaque, uint8_t* buffer, int size)
#endif
{
    const auto* options = static_cast<const TranscodeOptions*>(opaque);
    bool taken = false;
    try {
        taken = options->outputSink(buffer, size);
    } catch (...) {
        taken = false; // a sink that throws has not taken the buffer, and nothing may unwind through FFmpeg
    }
    return taken ? size : AVERROR(EPIPE);
}

AVIOInterruptCB interruptFor(const Transcoder::Job& job)
{
    AVIOInterruptCB interrupt {};
    interrupt.callback = &internal::Demuxer::interruptCallback;
    interrupt.opaque = const_cast<std::atomic<bool>*>(job.cancel);
    return interrupt;
}

bool failCode(Transcoder::Job& job, const char* what, int code)
{
    if (code == AVERROR_EXIT)
        job.interrupted = true;
    return Transcoder::fail(job, what, errorString(code));
}

bool drainDecoder(Transcoder::Job& job, Transcoder::OutputStream& os);
bool writeFiltered(Transcoder::Job& job, Transcoder::OutputStream& os, AVPacket* packet, AVRational timeBase);
bool convertSubtitlePacket(Transcoder::Job& job, Transcoder::OutputStream& os, AVPacket* packet);

// Writing into the file being read would truncate it and then "succeed" with a near-empty output; names alone
// miss hard links and symbolic links, the device and inode do not.
bool outputIsInput(const std::string& input, const std::string& output)
{
    struct stat in { };
    struct stat out { };
    if (::stat(input.c_str(), &in) != 0 || ::stat(output.c_str(), &out) != 0)
        return false;
    return in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

// A network address is read once only; a text starting with "/" is a local path whatever it holds.
bool isLocalInput(const std::string& input)
{
    return !input.empty() && (input.front() == '/' || input.rfind("file:", 0) == 0);
}

// Reads every packet of one subtitle stream of a local input ahead of the pass, in a second context of its own,
// into the burn-in renderer; true when at least one packet was read.
bool preReadSubtitles(Transcoder::Job& job, int index, int width, int height)
{
    AVFormatContext* second = nullptr;
    if (internal::Demuxer::openFormat(
            job.options->input, internal::Demuxer::defaultNetworkTimeoutUs, interruptFor(job), second)
        < 0)
        return false;
    bool loaded = false;
    if (avformat_find_stream_info(second, nullptr) >= 0 && index < static_cast<int>(second->nb_streams)) {
        for (unsigned i = 0; i < second->nb_streams; ++i)
            if (static_cast<int>(i) != index)
                second->streams[i]->discard = AVDISCARD_ALL;
        internal::SubtitleDecoder decoder;
        AVPacket* packet = av_packet_alloc();
        if (packet && decoder.open(second->streams[index]->codecpar, job.burnIn.get(), width, height)) {
            while (!job.cancel->load() && av_read_frame(second, packet) >= 0) {
                if (packet->stream_index == index) {
                    decoder.decodePacket(packet, second->streams[index]->time_base);
                    loaded = true;
                }
                av_packet_unref(packet);
            }
        }
        av_packet_free(&packet);
    }
    avformat_close_input(&second);
    return loaded;
}

// The subtitles to burn in: a file, else the chosen (or best) subtitle stream. An index from the settings, the
// queue file or an old job may name no subtitle stream at all; then nothing is loaded and the pass goes on.
void loadBurnIn(Transcoder::Job& job, int videoIndex)
{
    const TranscodeOptions& o = *job.options;
    AVFormatContext* ic = job.inputContext;
    job.burnIn = std::make_unique<internal::SubtitleRenderer>();
    std::string reason;
    bool loaded = false;
    if (!o.subtitleFile.empty()) {
        loaded = job.burnIn->loadExternalFile(o.subtitleFile, reason);
        job.burnInFromFile = loaded;
    } else {
        int index = o.subtitleStream;
        if (index < 0) {
            index = av_find_best_stream(ic, AVMEDIA_TYPE_SUBTITLE, -1, -1, nullptr, 0);
        } else if (index >= static_cast<int>(ic->nb_streams)
            || ic->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE) {
            reason = "no subtitle stream " + std::to_string(index);
            index = -1;
        }
        if (index >= 0) {
            const AVCodecParameters* video = ic->streams[videoIndex]->codecpar;
            if (o.live || !isLocalInput(o.input)) {
                // A live or network input is not read twice (a live one never ends): its subtitle packets are
                // decoded as the pass reads them.
                auto decoder = std::make_unique<internal::SubtitleDecoder>();
                if (decoder->open(ic->streams[index]->codecpar, job.burnIn.get(), video->width, video->height)) {
                    job.burnInDecoder = std::move(decoder);
                    job.burnInStream = index;
                    loaded = true;
                }
            } else {
                loaded = preReadSubtitles(job, index, video->width, video->height);
            }
        }
    }
    if (!loaded) {
        logWarning("Transcoder: no subtitles to burn in ({})", reason);
        job.burnIn.reset();
    }
}

// Output time 0: the chosen start counted from the container's start, else the earliest time stamp among the
// first packets of the audio and video streams kept (a broadcast clock may stand hours in); the streams keep
// their offsets to each other. The streams' own start times do not tell it reliably (Matroska with B-frames
// states its second picture's), so the first packets are read here and kept for the read loop.
bool findOrigin(Transcoder::Job& job)
{
    AVFormatContext* ic = job.inputContext;
    constexpr AVRational microseconds { 1, 1000000 };
    constexpr size_t maxEarlyPackets = 2000;
    constexpr int64_t maxEarlyBytes = 32 << 20;
    if (job.options->startUs > 0) {
        job.originUs = job.inputStartUs + job.options->startUs;
    } else {
        std::set<int> waiting;
        for (const auto& os : job.outputs) {
            const AVMediaType type = ic->streams[os->inputIndex]->codecpar->codec_type;
            if (os->kind != Transcoder::StreamKind::CoverArt
                && (type == AVMEDIA_TYPE_AUDIO || type == AVMEDIA_TYPE_VIDEO))
                waiting.insert(os->inputIndex);
        }
        const std::set<int> counted = waiting;
        int64_t earliest = INT64_MAX;
        int64_t bytes = 0;
        while (!waiting.empty() && job.earlyPackets.size() < maxEarlyPackets && bytes < maxEarlyBytes
            && !job.cancel->load()) {
            AVPacket* packet = av_packet_alloc();
            if (!packet)
                return Transcoder::fail(job, "input", errorString(AVERROR(ENOMEM)));
            if (av_read_frame(ic, packet) < 0) {
                av_packet_free(&packet); // the read loop meets the end or the error again
                break;
            }
            const int index = packet->stream_index;
            const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
            if (counted.count(index) && time != AV_NOPTS_VALUE) {
                earliest = std::min(earliest, av_rescale_q(time, ic->streams[index]->time_base, microseconds));
                waiting.erase(index);
            }
            bytes += packet->size;
            job.earlyPackets.push_back(packet);
        }
        job.originUs = earliest != INT64_MAX ? earliest : job.inputStartUs;
    }
    for (const auto& os : job.outputs)
        if (os->kind != Transcoder::StreamKind::CoverArt)
            os->startOffset = av_rescale_q(job.originUs, microseconds, ic->streams[os->inputIndex]->time_base);
    return true;
}

// An attached file (a font, mostly) with its file name and MIME type; one that the muxer refuses is left out.
void copyAttachment(Transcoder::Job& job, const AVStream* input)
{
    AVStream* out = avformat_new_stream(job.outputContext, nullptr);
    if (!out || avcodec_parameters_copy(out->codecpar, input->codecpar) < 0) {
        logWarning("Transcoder: attachment stream {} not copied", input->index);
        return;
    }
    out->codecpar->codec_tag = 0;
    out->time_base = input->time_base;
    av_dict_copy(&out->metadata, input->metadata, 0);
}

// Writing into the input would truncate what is being read; false with the job's error set and logged.
bool checkOutputIsNotInput(Transcoder::Job& job)
{
    const TranscodeOptions& o = *job.options;
    const bool writesFile = job.pass != 1 && !o.outputSink;
    if (writesFile && outputIsInput(o.input, o.output)) {
        job.error = "output: " + o.output + " is the input file";
        logError("Transcoder [{} -> {}]: {}", o.input, o.output, job.error);
        return false;
    }
    return true;
}

// The best video stream, or -1 when the output takes no video or the best is only a cover picture.
int chooseVideoStream(const Transcoder::Job& job)
{
    const TranscodeOptions& o = *job.options;
    AVFormatContext* ic = job.inputContext;
    int videoIndex = -1;
    if (o.videoCodec != "none" && !isAudioOnlyContainer(o.container)) {
        videoIndex = av_find_best_stream(ic, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
        if (videoIndex < 0 || (ic->streams[videoIndex]->disposition & AV_DISPOSITION_ATTACHED_PIC))
            videoIndex = -1;
    }
    return videoIndex;
}

// The chosen audio streams, else the best one related to the video.
std::vector<int> chooseAudioStreams(const Transcoder::Job& job, int videoIndex)
{
    const TranscodeOptions& o = *job.options;
    std::vector<int> audio = o.audioStreams;
    if (audio.empty() && o.audioCodec != "none") {
        const int best = av_find_best_stream(job.inputContext, AVMEDIA_TYPE_AUDIO, -1, videoIndex, nullptr, 0);
        if (best >= 0)
            audio.push_back(best);
    }
    return audio;
}

// The video stream with its burn-in subtitles, when there is one.
bool setupVideo(Transcoder::Job& job, int videoIndex)
{
    const TranscodeOptions& o = *job.options;
    if (o.subtitles == 3 && videoIndex >= 0 && o.videoCodec != "copy")
        loadBurnIn(job, videoIndex);
    return videoIndex < 0 || Transcoder::setupVideoStream(job, videoIndex);
}

// The audio streams that are audio indeed; the first pass of two writes no audio.
bool setupAudio(Transcoder::Job& job, const std::vector<int>& audio)
{
    const TranscodeOptions& o = *job.options;
    AVFormatContext* ic = job.inputContext;
    if (o.audioCodec == "none" || job.pass == 1)
        return true;
    for (const int index : audio) {
        if (index < 0 || index >= static_cast<int>(ic->nb_streams)
            || ic->streams[index]->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        if (!Transcoder::setupAudioStream(job, index))
            return false;
    }
    return true;
}

// Every subtitle stream, copied or converted, where the container holds pictures.
bool setupSubtitles(Transcoder::Job& job)
{
    const TranscodeOptions& o = *job.options;
    AVFormatContext* ic = job.inputContext;
    if (job.pass == 1 || !(o.subtitles == 1 || o.subtitles == 2) || isAudioOnlyContainer(o.container))
        return true;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_SUBTITLE
            && !Transcoder::setupSubtitleStreams(job, static_cast<int>(i), true))
            return false;
    }
    return true;
}

// The first cover picture, where the container can carry one.
void keepCoverArt(Transcoder::Job& job)
{
    const TranscodeOptions& o = *job.options;
    AVFormatContext* ic = job.inputContext;
    if (job.pass == 1 || !o.keepCover)
        return;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        if (ic->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC) {
            if (isOneOf(o.container, { "mp4", "m4a", "mov", "mp3", "mkv", "flac" }))
                Transcoder::copyStream(job, static_cast<int>(i));
            break;
        }
    }
}

// Fonts travel with copied styled subtitles: without them the copy renders in another font.
void copyAttachments(Transcoder::Job& job)
{
    const TranscodeOptions& o = *job.options;
    AVFormatContext* ic = job.inputContext;
    if (job.pass != 1 && (o.subtitles == 1 || o.subtitles == 2) && o.container == "mkv") {
        for (unsigned i = 0; i < ic->nb_streams; ++i)
            if (ic->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT)
                copyAttachment(job, ic->streams[i]);
    }
}

// The demuxer skips the streams nobody reads; the container's tags go along when kept.
void discardUnusedStreams(Transcoder::Job& job)
{
    AVFormatContext* ic = job.inputContext;
    for (unsigned i = 0; i < ic->nb_streams; ++i) {
        if (!job.byInputIndex.count(static_cast<int>(i)) && static_cast<int>(i) != job.burnInStream)
            ic->streams[i]->discard = AVDISCARD_ALL;
    }
    if (job.pass != 1 && job.options->keepMetadata)
        av_dict_copy(&job.outputContext->metadata, ic->metadata, 0);
}

// Chapters move with the streams: counted from the output's start, those wholly before it left out.
void copyChapters(Transcoder::Job& job)
{
    AVFormatContext* ic = job.inputContext;
    AVFormatContext* oc = job.outputContext;
    if (job.pass == 1 || job.options->startUs > 0)
        return;
    for (unsigned i = 0; i < ic->nb_chapters; ++i) {
        const AVChapter* in = ic->chapters[i];
        const int64_t shift = av_rescale_q(job.originUs, AVRational { 1, 1000000 }, in->time_base);
        if (in->end - shift <= 0)
            continue;
        auto* out = static_cast<AVChapter*>(av_mallocz(sizeof(AVChapter)));
        if (!out)
            break;
        auto** grown
            = static_cast<AVChapter**>(av_realloc_array(oc->chapters, oc->nb_chapters + 1, sizeof(AVChapter*)));
        if (!grown) {
            av_free(out);
            break;
        }
        oc->chapters = grown;
        out->id = in->id;
        out->time_base = in->time_base;
        out->start = std::max<int64_t>(in->start - shift, 0);
        out->end = in->end - shift;
        av_dict_copy(&out->metadata, in->metadata, 0);
        oc->chapters[oc->nb_chapters++] = out;
    }
}

// Timestamps count from the container's start time, which a stream may put at 1.4 s or hours in.
void seekToStart(Transcoder::Job& job, int videoIndex, const std::vector<int>& audio)
{
    AVFormatContext* ic = job.inputContext;
    const TranscodeOptions& o = *job.options;
    if (o.startUs <= 0)
        return;
    const int seekStream = videoIndex >= 0 ? videoIndex : (!audio.empty() ? audio.front() : -1);
    const int64_t targetUs = job.inputStartUs + o.startUs;
    const int64_t target = seekStream >= 0
        ? av_rescale_q(targetUs, AVRational { 1, 1000000 }, ic->streams[seekStream]->time_base)
        : targetUs;
    av_seek_frame(ic, seekStream, target, AVSEEK_FLAG_BACKWARD);
}

// Packets of other streams wait here while an encoded video stream has not yet written the header.
struct HeldPackets {
    std::deque<AVPacket*> packets;

    void clear()
    {
        for (AVPacket*& p : packets)
            av_packet_free(&p);
        packets.clear();
    }

    bool replay(Transcoder::Job& job)
    {
        while (!packets.empty()) {
            AVPacket* p = packets.front();
            packets.pop_front();
            const bool routed = Transcoder::processPacket(job, p);
            av_packet_free(&p);
            if (!routed)
                return false;
        }
        return true;
    }
};

// The packets read ahead for the origin first, then the input's own; the read's result.
int nextPacket(Transcoder::Job& job, AVPacket* packet)
{
    if (job.earlyPackets.empty())
        return av_read_frame(job.inputContext, packet);
    AVPacket* early = job.earlyPackets.front();
    job.earlyPackets.pop_front();
    av_packet_move_ref(packet, early);
    av_packet_free(&early);
    return 0;
}

// One packet to its stream, or held until the header is written; the video's own packets go ahead of those
// held. False ends the read loop.
bool routePacket(Transcoder::Job& job, HeldPackets& held, AVPacket* packet)
{
    if (job.burnInDecoder && packet->stream_index == job.burnInStream) {
        // At once, never among the packets held for the header: the pictures to come need these cues.
        job.burnInDecoder->decodePacket(packet, job.inputContext->streams[job.burnInStream]->time_base);
        av_packet_unref(packet);
        return true;
    }
    const bool isVideo = job.videoOut && packet->stream_index == job.videoOut->inputIndex;
    if (job.headerWritten || job.pass == 1 || isVideo) {
        const bool routed = Transcoder::processPacket(job, packet);
        av_packet_unref(packet);
        return routed && (!job.headerWritten || held.replay(job));
    }
    AVPacket* clone = av_packet_clone(packet);
    av_packet_unref(packet);
    if (clone)
        held.packets.push_back(clone);
    if (held.packets.size() > maxHeldPackets) {
        job.error = noDecodableVideo;
        return false;
    }
    return true;
}

// The read loop, up to the input's end, a read error (what was read is kept), cancelling or a failure.
bool readPackets(Transcoder::Job& job, HeldPackets& held, bool& cancelled)
{
    AVPacket* packet = av_packet_alloc();
    if (!packet)
        return Transcoder::fail(job, "input", errorString(AVERROR(ENOMEM)));
    bool good = true;
    for (;;) {
        if (job.cancel->load()) {
            cancelled = true;
            good = false;
            break;
        }
        const int r = nextPacket(job, packet);
        if (r == AVERROR_EOF)
            break;
        if (r == AVERROR_EXIT) {
            cancelled = true;
            good = false;
            break;
        }
        if (r < 0) {
            logWarning("Transcoder: read error {} \u2014 finishing with what was read", errorString(r));
            break;
        }
        if (!routePacket(job, held, packet)) {
            good = false;
            break;
        }
    }
    av_packet_free(&packet);
    if (good && job.headerWritten)
        good = held.replay(job);
    return good;
}

// What one stream's decoder, graph and encoder still hold.
bool flushStream(Transcoder::Job& job, Transcoder::OutputStream& os)
{
    const bool encoded = os.kind == Transcoder::StreamKind::EncodeVideo
        || (os.kind == Transcoder::StreamKind::EncodeAudio && job.pass != 1);
    if (!encoded || !os.decoder) {
        os.finished = true;
        return true;
    }
    avcodec_send_packet(os.decoder, nullptr);
    if (!drainDecoder(job, os))
        return false;
    const bool drained = !os.encoder || Transcoder::processVideoFrame(job, os, nullptr);
    os.finished = true;
    return drained;
}

// What decoders, graphs and encoders still hold, in the order the streams were made; the held packets are
// freed whatever happens. `good` says whether the read loop ended well.
bool flushOutputs(Transcoder::Job& job, HeldPackets& held, bool good)
{
    // An encoded video whose first frames come only at the flush (a single frame with automatic threads)
    // writes the header there: the other streams' packets held until then are muxed before their own flush.
    Transcoder::OutputStream* encodedVideo
        = job.videoOut && job.videoOut->kind == Transcoder::StreamKind::EncodeVideo ? job.videoOut : nullptr;
    if (good && encodedVideo) {
        good = flushStream(job, *encodedVideo);
        if (good && job.headerWritten)
            good = held.replay(job);
    }
    held.clear();
    if (!good)
        return false;
    for (const auto& os : job.outputs)
        if (os.get() != encodedVideo && !flushStream(job, *os))
            return false;
    return true;
}

// The trailer and the closed output; the first pass of two writes nothing.
bool finishOutput(Transcoder::Job& job)
{
    AVFormatContext* oc = job.outputContext;
    if (job.pass == 1)
        return true;
    if (!job.headerWritten) {
        job.error = noDecodableVideo;
        return false;
    }
    const int r = av_write_trailer(oc);
    if (r < 0)
        return failCode(job, "muxer", r);
    // The pass is done only once the file is closed: its last buffer is written there, and a full disk
    // shows up only then.
    if (job.sinkIo) {
        avio_flush(job.sinkIo);
        if (job.sinkIo->error < 0)
            return failCode(job, "muxer", job.sinkIo->error);
    } else if (!(oc->oformat->flags & AVFMT_NOFILE)) {
        const int closed = avio_closep(&oc->pb);
        if (closed < 0)
            return failCode(job, "muxer", closed);
    }
    return true;
}

void reportPassDone(Transcoder::Job& job)
{
    if (!job.progress || !*job.progress)
        return;
    TranscodeProgress last;
    last.fraction = job.pass == 1 ? 0.5 : 1.0;
    last.rate = 0;
    last.speed = 0;
    last.etaSeconds = -1;
    last.bytes = job.bytesWritten;
    last.pass = job.pass == 0 ? 1 : job.pass;
    last.passes = job.passes;
    (*job.progress)(last);
}

// One pass's steps up to the closed output; false with the job's error set (or the job interrupted).
bool runPass(Transcoder::Job& job, bool& cancelled)
{
    if (!checkOutputIsNotInput(job) || !Transcoder::openInput(job) || !Transcoder::openOutput(job))
        return false;
    const int videoIndex = chooseVideoStream(job);
    if (!setupVideo(job, videoIndex))
        return false;
    const std::vector<int> audio = chooseAudioStreams(job, videoIndex);
    if (!setupAudio(job, audio) || !setupSubtitles(job))
        return false;
    keepCoverArt(job);
    if (job.outputs.empty() && !(job.pass == 1 && videoIndex >= 0))
        return Transcoder::fail(job, "input", "nothing to convert (no matching audio or video stream)");
    copyAttachments(job);
    discardUnusedStreams(job);
    if (!findOrigin(job))
        return false;
    copyChapters(job);
    seekToStart(job, videoIndex, audio);

    // Only now, with something to convert, is the file at the output created or truncated.
    if (!Transcoder::createOutputFile(job))
        return false;
    if (job.pass != 1 && (!job.videoOut || job.videoOut->kind == Transcoder::StreamKind::Copy)) {
        if (!Transcoder::writeHeader(job))
            return false;
    }

    HeldPackets held;
    const bool read = readPackets(job, held, cancelled);
    if (!flushOutputs(job, held, read) || !finishOutput(job))
        return false;
    reportPassDone(job);
    return true;
}

// Every frame the stream's decoder has ready, timed from the output's start, through the graph and encoder.
bool drainDecoder(Transcoder::Job& job, Transcoder::OutputStream& os)
{
    AVFrame* frame = av_frame_alloc();
    if (!frame)
        return Transcoder::fail(job, "decoder", errorString(AVERROR(ENOMEM)));
    bool good = true;
    while (avcodec_receive_frame(os.decoder, frame) >= 0) {
        frame->pts = frame->best_effort_timestamp;
        bool keep = true;
        if (frame->pts != AV_NOPTS_VALUE) {
            keep = job.options->startUs <= 0 || frame->pts >= os.startOffset;
            frame->pts -= os.startOffset;
        }
        if (keep)
            good = Transcoder::processVideoFrame(job, os, frame);
        av_frame_unref(frame);
        if (!good)
            break;
    }
    av_frame_free(&frame);
    return good;
}

// A copied packet through the stream's bitstream filter, then muxed.
bool writeFiltered(Transcoder::Job& job, Transcoder::OutputStream& os, AVPacket* packet, AVRational timeBase)
{
    int r = av_bsf_send_packet(os.annexB, packet);
    if (r < 0)
        return Transcoder::fail(job, "muxer", errorString(r));
    while ((r = av_bsf_receive_packet(os.annexB, packet)) >= 0) {
        const bool written = Transcoder::writePacket(job, os, packet, timeBase);
        av_packet_unref(packet);
        if (!written)
            return false;
    }
    return r == AVERROR(EAGAIN) || r == AVERROR_EOF ? true : Transcoder::fail(job, "muxer", errorString(r));
}

// One text subtitle packet decoded and encoded again in the output's format, timed in microseconds.
bool convertSubtitlePacket(Transcoder::Job& job, Transcoder::OutputStream& os, AVPacket* packet)
{
    const AVStream* input = job.inputContext->streams[packet->stream_index];
    AVSubtitle subtitle {};
    int gotSubtitle = 0;
    const int r = avcodec_decode_subtitle2(os.decoder, &subtitle, &gotSubtitle, packet);
    if (r < 0 || !gotSubtitle)
        return true;
    const int64_t time = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    if (time == AV_NOPTS_VALUE) {
        avsubtitle_free(&subtitle);
        return true;
    }
    // The same shift as every other stream: the output counts from its origin.
    const int64_t positionUs = av_rescale_q(time, input->time_base, AVRational { 1, 1000000 }) - job.originUs;
    if (positionUs < 0) {
        avsubtitle_free(&subtitle);
        return true;
    }
    subtitle.pts = positionUs;
    const int64_t durationUs = subtitle.end_display_time > subtitle.start_display_time
        ? static_cast<int64_t>(subtitle.end_display_time - subtitle.start_display_time) * 1000
        : int64_t { 3000 } * 1000;
    std::vector<uint8_t>& buffer = job.subtitleBuffer;
    buffer.resize(subtitleBufferSize);
    const int size = avcodec_encode_subtitle(os.encoder, buffer.data(), subtitleBufferSize, &subtitle);
    avsubtitle_free(&subtitle);
    if (size <= 0)
        return true;
    AVPacket* out = av_packet_alloc();
    if (!out || av_new_packet(out, size) < 0) {
        av_packet_free(&out);
        return Transcoder::fail(job, "encoder", errorString(AVERROR(ENOMEM)));
    }
    std::memcpy(out->data, buffer.data(), static_cast<size_t>(size));
    out->pts = positionUs;
    out->dts = positionUs;
    out->duration = durationUs;
    const bool written = Transcoder::writePacket(job, os, out, AVRational { 1, 1000000 });
    av_packet_free(&out);
    return written;
}

} // namespace

TranscodeResult Transcoder::transcode(
    const TranscodeOptions& options, const TranscodeProgressCallback* progress, const std::atomic<bool>* cancel)
{
    init_logging();
    // No apartment to join here: the job runs on the calling thread, whose name is left alone (on the command
    // line it names the process).
    try {
        return runJob(options, progress, cancel);
    } catch (const std::exception& e) {
        TranscodeResult result;
        result.message = std::string("transcoder: ") + e.what();
        return result;
    }
}

TranscodeResult Transcoder::runJob(
    const TranscodeOptions& options, const TranscodeProgressCallback* progress, const std::atomic<bool>* cancel)
{
    TranscodeResult result;
    if (!options.live)
        internal::lowerThreadPriority();

    result.message = validate(options.container, options.videoCodec, options.audioCodec);
    if (!result.message.empty())
        return result;

    const TranscodeCapabilities& caps = capabilities();
    const auto offered = [](const std::vector<std::string>& list, const std::string& codec) {
        return std::find(list.begin(), list.end(), codec) != list.end();
    };
    if (options.videoCodec != "copy" && options.videoCodec != "none"
        && !offered(caps.videoCodecs, options.videoCodec)) {
        result.message = options.videoCodec + " encoding is not available on this PC";
        if (options.videoCodec == "hevc")
            result.message += " (needs a VA-API HEVC encoder or FFmpeg with libx265)";
        return result;
    }
    if (options.audioCodec != "copy" && options.audioCodec != "none"
        && !offered(caps.audioCodecs, options.audioCodec)) {
        result.message = options.audioCodec + " encoding is not available in this build";
        return result;
    }

    // Each pass has a job of its own, gone before the next pass starts.
    const auto runJob = [&](int pass, int passes, std::string* passLog) {
        Job job;
        job.options = &options;
        job.pass = pass;
        job.passLog = passLog;
        job.cancel = cancel;
        job.progress = progress;
        job.passes = passes;
        job.progressState.startedAt
            = std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
                  .count();
        return run(job);
    };
    const bool twoPasses
        = options.rateMode == 2 && !options.live && isOneOf(options.videoCodec, { "vp9", "av1", "mpeg4", "mpeg2" });
    if (twoPasses) {
        std::string passLog;
        const TranscodeResult first = runJob(1, 2, &passLog);
        if (!first.ok)
            return first;
        return runJob(2, 2, &passLog);
    }
    return runJob(0, 1, nullptr);
}

TranscodeResult Transcoder::run(Job& job)
{
    TranscodeResult result;
    bool cancelled = false;
    const bool done = runPass(job, cancelled);
    result.outputOpened = job.outputOpened;
    if (done) {
        result.ok = true;
        return result;
    }
    // An interrupted step, or any failure while the flag is up, is the cancel taking effect.
    if (cancelled || job.interrupted || job.cancel->load()) {
        result.cancelled = true;
        result.message = "cancelled";
        return result;
    }
    result.message = job.error.empty() ? "transcoder: failed" : job.error;
    return result;
}

bool Transcoder::openInput(Job& job)
{
    const TranscodeOptions& o = *job.options;
    // Local paths go to FFmpeg as they are; anything else must pass the player's own address check, so a
    // "concat:" or "tcp://…?listen=1" never reaches FFmpeg, and every network wait has a time-out.
    int r = internal::Demuxer::openFormat(
        o.input, internal::Demuxer::defaultNetworkTimeoutUs, interruptFor(job), job.inputContext);
    if (r < 0)
        return failCode(job, "input", r);
    r = avformat_find_stream_info(job.inputContext, nullptr);
    if (r < 0)
        return failCode(job, "input", r);
    AVFormatContext* ic = job.inputContext;
    job.inputStartUs = ic->start_time != AV_NOPTS_VALUE ? ic->start_time : 0;
    const int64_t duration = ic->duration != AV_NOPTS_VALUE && ic->duration > 0 ? ic->duration : 0;
    job.durationUs = duration;
    if (o.startUs > 0 && duration > 0)
        job.durationUs = std::max<int64_t>(duration - o.startUs, 0);
    return true;
}

bool Transcoder::openOutput(Job& job)
{
    const TranscodeOptions& o = *job.options;
    const char* muxer = job.pass == 1 ? "null" : muxerNameFor(o.container);
    if (!muxer)
        return fail(job, "muxer", "unsupported container " + o.container);
    const int r = avformat_alloc_output_context2(
        &job.outputContext, nullptr, muxer, job.pass == 1 ? nullptr : o.output.c_str());
    if (r < 0 || !job.outputContext)
        return failCode(job, "muxer", r < 0 ? r : AVERROR(ENOMEM));
    AVFormatContext* oc = job.outputContext;
    oc->interrupt_callback = interruptFor(job);
    if (job.pass == 1)
        return true;

    if (o.outputSink) {
        auto* buffer = static_cast<unsigned char*>(av_malloc(sinkBufferSize));
        if (!buffer)
            return failCode(job, "muxer", AVERROR(ENOMEM));
        job.sinkIo = avio_alloc_context(
            buffer, sinkBufferSize, 1, const_cast<TranscodeOptions*>(&o), nullptr, &writeToSink, nullptr);
        if (!job.sinkIo) {
            av_free(buffer);
            return failCode(job, "muxer", AVERROR(ENOMEM));
        }
        oc->pb = job.sinkIo;
        oc->flags |= AVFMT_FLAG_CUSTOM_IO;
        return true;
    }
    return true;
}

bool Transcoder::createOutputFile(Job& job)
{
    const TranscodeOptions& o = *job.options;
    AVFormatContext* oc = job.outputContext;
    if (job.pass == 1 || o.outputSink || (oc->oformat->flags & AVFMT_NOFILE))
        return true;
    // Only a file: an output name is never taken as an address to send the result to.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    const AVIOInterruptCB interrupt = interruptFor(job);
    const int opened = avio_open2(&oc->pb, o.output.c_str(), AVIO_FLAG_WRITE, &interrupt, &options);
    av_dict_free(&options);
    if (opened < 0) {
        if (opened == AVERROR_EXIT)
            job.interrupted = true;
        job.error = "output: cannot create file (" + errorString(opened) + ")";
        logError("Transcoder [{} -> {}]: {} (frame {})", o.input, o.output, job.error, job.videoFrames);
        return false;
    }
    job.outputOpened = true;
    return true;
}

bool Transcoder::processPacket(Job& job, AVPacket* packet)
{
    const auto found = job.byInputIndex.find(packet->stream_index);
    if (found == job.byInputIndex.end())
        return true;
    OutputStream& os = *found->second;
    const AVStream* input = job.inputContext->streams[packet->stream_index];
    switch (os.kind) {
    case StreamKind::Copy:
        if (job.pass == 1)
            return true;
        if (!os.started && job.options->startUs > 0) {
            if (packet->pts != AV_NOPTS_VALUE && packet->pts < os.startOffset)
                return true;
            // A copied picture that depends on earlier ones would show damaged until the next key frame.
            if (&os == job.videoOut && !(packet->flags & AV_PKT_FLAG_KEY))
                return true;
        }
        os.started = true;
        if (os.startOffset != 0) {
            if (packet->pts != AV_NOPTS_VALUE)
                packet->pts -= os.startOffset;
            if (packet->dts != AV_NOPTS_VALUE)
                packet->dts -= os.startOffset;
        }
        if (os.annexB)
            return writeFiltered(job, os, packet, input->time_base);
        return writePacket(job, os, packet, input->time_base);
    case StreamKind::CoverArt:
        if (os.started)
            return true;
        os.started = true;
        packet->pts = 0;
        packet->dts = 0;
        return writePacket(job, os, packet, input->time_base);
    case StreamKind::EncodeAudio:
        if (job.pass == 1)
            return true;
        [[fallthrough]];
    case StreamKind::EncodeVideo: {
        const int r = avcodec_send_packet(os.decoder, packet);
        if (r < 0 && r != AVERROR(EAGAIN)) {
            logWarning("Transcoder: decoder rejected a packet on stream {}: {}", os.inputIndex, errorString(r));
            return true;
        }
        return drainDecoder(job, os);
    }
    case StreamKind::ConvertSubtitle:
        if (job.pass == 1)
            return true;
        return convertSubtitlePacket(job, os, packet);
    }
    return true;
}

} // namespace kvr::engine
