#include "engine/internal/Demuxer.h"

#include "engine/internal/FfmpegSupport.h"

#include "engine/AddressRedaction.h"
#include "engine/Logging.h"
#include "engine/internal/Languages.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/display.h>
#include <libavutil/pixdesc.h>
}

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <pthread.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <exception>
#include <optional>
#include <system_error>

namespace kvr::engine::internal {
namespace {

std::string lowerAscii(std::string text)
{
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// What an address may reach FFmpeg as.
struct InputAddress {
    bool accepted = false;
    bool network = false;
    std::string scheme; // lower-case; empty for a local path
    std::string url; // what FFmpeg opens
    std::string fallbackUrl; // opened when url is refused; empty for none
    std::string whitelist; // protocols FFmpeg may use for it, nested ones included
};

// The schemes a user may stream from, and the protocols each legitimately nests (redirects between http and
// https, encrypted HLS segments, RTP under RTSP and so on). The whitelist only checks names, so the scheme
// check in front of it is the real guard against "tcp://…?listen=1" and friends.
struct StreamScheme {
    const char* scheme;
    const char* whitelist;
};
const StreamScheme streamSchemes[] = {
    { "http", "http,https,httpproxy,tcp,tls,crypto" },
    { "https", "http,https,httpproxy,tcp,tls,crypto" },
    { "rtsp", "rtsp,rtsps,rtp,srtp,udp,tcp,tls" },
    { "rtsps", "rtsp,rtsps,rtp,srtp,udp,tcp,tls" },
    { "rtmp", "rtmp,rtmps,tcp,tls" },
    { "rtmps", "rtmp,rtmps,tcp,tls" },
    { "mms", "mms,mmsh,mmst,http,tcp" },
    { "mmsh", "mmsh,mmst,http,tcp" },
    { "udp", "udp" },
    { "rtp", "rtp,udp" },
    { "srt", "srt" },
    { "ftp", "ftp,tcp" },
    { "sftp", "sftp" },
};

InputAddress classifyAddress(const std::string& address)
{
    InputAddress a;
    // Find the protocol the way FFmpeg does: scheme characters up to a ':' (and its "subfile," form), so
    // nothing FFmpeg would treat as a protocol can pass for a local path.
    static const char schemeChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";
    const size_t schemeEnd = address.find_first_not_of(schemeChars);
    const bool hasScheme = schemeEnd != std::string::npos && address[schemeEnd] == ':';
    if (!hasScheme) {
        if (address.rfind("subfile,", 0) == 0 && address.find(':') != std::string::npos)
            return a;
        a.accepted = true;
        a.url = address;
        a.whitelist = "file";
        return a;
    }
    a.scheme = lowerAscii(address.substr(0, schemeEnd));
    if (a.scheme == "file") {
        a.accepted = true;
        a.url = "file" + address.substr(schemeEnd);
        a.whitelist = "file";
        return a;
    }
    for (const auto& s : streamSchemes) {
        if (a.scheme == s.scheme) {
            a.accepted = true;
            a.network = true;
            // FFmpeg's protocol names are lower-case; "RTSP://" as typed must still open.
            a.url = a.scheme + address.substr(schemeEnd);
            a.whitelist = s.whitelist;
            // FFmpeg has no protocol "mms": such a server speaks MMS over HTTP or, older ones, over TCP.
            if (a.scheme == "mms") {
                a.url = "mmsh" + address.substr(schemeEnd);
                a.fallbackUrl = "mmst" + address.substr(schemeEnd);
            }
            return a;
        }
    }
    return a;
}

// True when the address's query names `key`, with or without a value.
bool hasQueryOption(const std::string& url, const std::string& key)
{
    const size_t query = url.find('?');
    if (query == std::string::npos)
        return false;
    size_t start = query + 1;
    while (start <= url.size()) {
        size_t end = url.find('&', start);
        if (end == std::string::npos)
            end = url.size();
        const std::string option = url.substr(start, end - start);
        if (option == key || option.rfind(key + "=", 0) == 0)
            return true;
        start = end + 1;
    }
    return false;
}

std::string withQueryOption(const std::string& url, const std::string& key, const std::string& value)
{
    if (hasQueryOption(url, key))
        return url; // what the user wrote wins
    std::string out = url;
    if (out.find('?') == std::string::npos)
        out += '?';
    else if (out.back() != '?' && out.back() != '&')
        out += '&';
    return out + key + "=" + value;
}

// The host part of a network address ("[...]" unwrapped); empty when it has none.
std::string hostOf(const std::string& url)
{
    const size_t scheme = url.find("://");
    if (scheme == std::string::npos)
        return {};
    const size_t start = scheme + 3;
    std::string authority = url.substr(start, url.find_first_of("/?#", start) - start);
    if (const size_t at = authority.rfind('@'); at != std::string::npos)
        authority.erase(0, at + 1);
    if (!authority.empty() && authority.front() == '[') {
        const size_t close = authority.find(']');
        return close == std::string::npos ? std::string() : authority.substr(1, close - 1);
    }
    return authority.substr(0, authority.find(':'));
}

// Whether host is an address of this computer that takes unicast packets: a loopback address or one an
// interface holds. Names, wildcards, broadcast and multicast groups are not.
bool isLocalUnicastAddress(const std::string& host)
{
    in_addr v4 {};
    in6_addr v6 {};
    const bool isV4 = inet_pton(AF_INET, host.c_str(), &v4) == 1;
    if (isV4) {
        const uint32_t a = ntohl(v4.s_addr);
        if (a == INADDR_ANY || a == INADDR_BROADCAST || IN_MULTICAST(a))
            return false;
        if ((a >> 24) == 127)
            return true;
    } else if (inet_pton(AF_INET6, host.c_str(), &v6) == 1) {
        if (IN6_IS_ADDR_UNSPECIFIED(&v6) || IN6_IS_ADDR_MULTICAST(&v6))
            return false;
        if (IN6_IS_ADDR_LOOPBACK(&v6))
            return true;
    } else {
        return false;
    }
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return false;
    bool found = false;
    for (const ifaddrs* i = list; i && !found; i = i->ifa_next) {
        if (!i->ifa_addr)
            continue;
        if (isV4 && i->ifa_addr->sa_family == AF_INET)
            found = std::memcmp(&reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr, &v4, sizeof v4) == 0;
        else if (!isV4 && i->ifa_addr->sa_family == AF_INET6)
            found = std::memcmp(&reinterpret_cast<const sockaddr_in6*>(i->ifa_addr)->sin6_addr, &v6, sizeof v6) == 0;
    }
    freeifaddrs(list);
    return found;
}

// Gives every wait of the address's protocol the network time-out. Each protocol that waits for a peer has
// its own name for it, and the generic rw_timeout reaches none of those waits.
std::string applyNetworkTimeout(
    const std::string& scheme, const std::string& url, int64_t timeoutUs, AVDictionary** options)
{
    // Without a time-out a server that accepts and then stalls blocks for ever.
    av_dict_set_int(options, "rw_timeout", timeoutUs, 0);
    if (scheme == "rtsp" || scheme == "rtsps") {
        // "timeout" means "listen for connections" to rtmp, so it is given to rtsp alone.
        av_dict_set_int(options, "timeout", timeoutUs, 0);
    } else if (scheme == "srt") {
        // A listener waits for its caller under listen_timeout; a caller's and a rendezvous' handshake under
        // connect_timeout (milliseconds); "timeout" bounds the open and every read after it.
        av_dict_set_int(options, "listen_timeout", timeoutUs, 0);
        av_dict_set_int(options, "connect_timeout", std::max<int64_t>(timeoutUs / 1000, 1), 0);
        av_dict_set_int(options, "timeout", timeoutUs, 0);
    } else if (scheme == "udp") {
        av_dict_set_int(options, "timeout", timeoutUs, 0);
    } else if (scheme == "rtp") {
        // The rtp input opens the address itself and passes it none of our options: only its query arrives.
        // Told no local address, it binds its port on every interface while it waits; an address of this
        // computer's own is where the user expects it to listen, and nowhere else.
        std::string target = withQueryOption(url, "timeout", std::to_string(timeoutUs));
        if (const std::string host = hostOf(url); isLocalUnicastAddress(host))
            target = withQueryOption(target, "localaddr", host);
        return target;
    }
    return url;
}

// One attempt at opening url: FFmpeg's result, and the input in `input` on success; no value when not even a
// format context could be had.
std::optional<int> openInput(const InputAddress& address, const std::string& url, int64_t timeoutUs,
    const AVIOInterruptCB& interrupt, AVFormatContext*& input)
{
    AVFormatContext* ctx = avformat_alloc_context();
    if (!ctx)
        return std::nullopt;
    ctx->interrupt_callback = interrupt;

    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", address.whitelist.c_str(), 0);
    std::string target = url;
    if (address.network)
        target = applyNetworkTimeout(address.scheme, url, timeoutUs, &options);
    const auto begun = std::chrono::steady_clock::now();
    int r = avformat_open_input(&ctx, target.c_str(), nullptr, &options);
    av_dict_free(&options);
    if (r >= 0) {
        input = ctx;
        return r;
    }
    // UDP's wait, and an SRT handshake nobody answers, end as an I/O error once the time-out has passed:
    // that is a time-out like any other network open's. (90%: the SRT library counts in its own ticks.)
    const auto waitedUs
        = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begun).count();
    if (r == AVERROR(EIO) && (address.scheme == "udp" || address.scheme == "srt") && waitedUs >= timeoutUs * 9 / 10)
        r = AVERROR(ETIMEDOUT);
    return r;
}

std::string dictValue(const AVDictionary* dict, const char* key)
{
    const AVDictionaryEntry* e = av_dict_get(dict, key, nullptr, 0);
    return e && e->value ? e->value : "";
}

int64_t startOffsetOf(const AVFormatContext* format)
{
    return format && format->start_time != AV_NOPTS_VALUE ? format->start_time : 0;
}

// Limits of one look for a key frame after a seek; past them the input counts as having none to find.
constexpr int keyScanPackets = 4096;
constexpr int64_t keyScanBytes = 64 * 1024 * 1024;
// How far before the target the first step back looks; each further step doubles it.
constexpr int64_t seekFirstStepBackUs = 1'000'000;
constexpr int seekStepBackTries = 8;

bool endsWith(const std::string& text, const char* suffix)
{
    const size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

} // namespace

Demuxer::Demuxer() = default;

Demuxer::~Demuxer()
{
    join();
    onSubtitlePacket = nullptr;
    fonts.clear();
    mediaInfo = MediaInfo {};
    freePending();
    if (format)
        avformat_close_input(&format);
    // The queues free whatever they still hold.
}

int Demuxer::interruptCallback(void* opaque)
{
    const auto* flag = static_cast<const std::atomic<bool>*>(opaque);
    return flag && flag->load() ? 1 : 0;
}

int Demuxer::openFormat(
    const std::string& addressText, int64_t networkTimeoutUs, const AVIOInterruptCB& interrupt, AVFormatContext*& input)
{
    input = nullptr;
    const InputAddress address = classifyAddress(addressText);
    if (!address.accepted)
        return AVERROR_PROTOCOL_NOT_FOUND;
    std::optional<int> opened = openInput(address, address.url, networkTimeoutUs, interrupt, input);
    if (opened && *opened < 0 && *opened != AVERROR_EXIT && !address.fallbackUrl.empty())
        opened = openInput(address, address.fallbackUrl, networkTimeoutUs, interrupt, input);
    return opened ? *opened : AVERROR(ENOMEM);
}

int Demuxer::inputInterruptCallback(void* opaque)
{
    // The playing input ends on the session's abort and on our own stop, so `join` never waits on a stalled
    // network read.
    const auto* self = static_cast<const Demuxer*>(opaque);
    if (!self)
        return 0;
    return (self->abortFlag && self->abortFlag->load()) || self->stop.load() ? 1 : 0;
}

int32_t Demuxer::rotationFromDisplayMatrix(const uint8_t* data, size_t size)
{
    if (!data || size < 9 * sizeof(int32_t))
        return 0;
    int32_t matrix[9];
    std::memcpy(matrix, data, sizeof matrix);
    const double angle = -av_display_rotation_get(matrix);
    // A degenerate matrix gives NaN, and converting that to an integer is undefined.
    if (!std::isfinite(angle))
        return 0;
    long r = std::lround(std::fmod(angle, 360.0)) % 360;
    if (r < 0)
        r += 360;
    return static_cast<int32_t>((r + 45) / 90 * 90 % 360);
}

int64_t Demuxer::durationUs() const
{
    if (!format || format->duration == AV_NOPTS_VALUE || format->duration < 0)
        return 0;
    return format->duration;
}

int64_t Demuxer::startTimeUs() const
{
    return startOffsetOf(format);
}

const AVCodecParameters* Demuxer::coverCodecParameters() const
{
    if (!format || coverStreamIndex < 0 || coverStreamIndex >= static_cast<int>(format->nb_streams))
        return nullptr;
    return format->streams[coverStreamIndex]->codecpar;
}

const AVPacket* Demuxer::coverPicture() const
{
    if (!format || coverStreamIndex < 0 || coverStreamIndex >= static_cast<int>(format->nb_streams))
        return nullptr;
    const AVPacket* pic = &format->streams[coverStreamIndex]->attached_pic;
    return pic->data && pic->size > 0 ? pic : nullptr;
}

StreamInfo::~StreamInfo()
{
    for (Stream& stream : streams)
        avcodec_parameters_free(&stream.codecParameters);
}

namespace {

// Inputs whose header names every stream with its codec setup, timestamps and index; the others find streams
// or timings only by reading.
bool headerDescribesStreams(const AVFormatContext* format)
{
    return format->iformat && format->iformat->name && std::strncmp(format->iformat->name, "mov,", 4) == 0
        && !(format->ctx_flags & AVFMTCTX_NOHEADER);
}

bool fitsFile(const StreamInfo& known, const AVFormatContext* format, const std::string& path)
{
    std::error_code ec;
    const auto size = std::filesystem::file_size(std::filesystem::path(path), ec);
    if (ec || size != known.fileSize)
        return false;
    const auto modified = std::filesystem::last_write_time(std::filesystem::path(path), ec);
    if (ec || modified != known.modified || known.path != path || known.inputFormat != format->iformat
        || !headerDescribesStreams(format) || known.streams.size() != format->nb_streams)
        return false;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        const StreamInfo::Stream& k = known.streams[i];
        if (st->codecpar->codec_type != k.codecParameters->codec_type
            || st->codecpar->codec_id != k.codecParameters->codec_id || av_cmp_q(st->time_base, k.timeBase) != 0)
            return false;
    }
    return true;
}

} // namespace

int Demuxer::readStreamInfo(const std::string& path, const std::shared_ptr<const StreamInfo>& known)
{
    if (known && fitsFile(*known, format, path)) {
        for (unsigned i = 0; i < format->nb_streams; ++i) {
            AVStream* st = format->streams[i];
            const StreamInfo::Stream& k = known->streams[i];
            const int r = avcodec_parameters_copy(st->codecpar, k.codecParameters);
            if (r < 0)
                return r;
            st->avg_frame_rate = k.averageFrameRate;
            st->r_frame_rate = k.realFrameRate;
            st->start_time = k.startTime;
            st->duration = k.duration;
        }
        format->start_time = known->startTime;
        format->duration = known->duration;
        format->bit_rate = known->bitRate;
        streamInfo = known;
        return 0;
    }
    const int r = avformat_find_stream_info(format, nullptr);
    if (r < 0 || !headerDescribesStreams(format))
        return r;
    std::error_code sizeError;
    std::error_code timeError;
    auto info = std::make_shared<StreamInfo>();
    info->fileSize = std::filesystem::file_size(std::filesystem::path(path), sizeError);
    info->modified = std::filesystem::last_write_time(std::filesystem::path(path), timeError);
    if (sizeError || timeError)
        return r;
    info->path = path;
    info->inputFormat = format->iformat;
    info->startTime = format->start_time;
    info->duration = format->duration;
    info->bitRate = format->bit_rate;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        StreamInfo::Stream k;
        k.codecParameters = avcodec_parameters_alloc();
        if (!k.codecParameters || avcodec_parameters_copy(k.codecParameters, st->codecpar) < 0) {
            avcodec_parameters_free(&k.codecParameters);
            return r;
        }
        k.timeBase = st->time_base;
        k.averageFrameRate = st->avg_frame_rate;
        k.realFrameRate = st->r_frame_rate;
        k.startTime = st->start_time;
        k.duration = st->duration;
        info->streams.push_back(k);
    }
    streamInfo = std::move(info);
    return r;
}

bool Demuxer::open(const std::filesystem::path& path, int64_t startUs, const StreamSelection& selection,
    std::shared_ptr<const StreamInfo> known)
{
    // Paths are bytes here: a name that is not valid UTF-8 goes to FFmpeg unchanged.
    const std::string utf8 = path.native();
    const InputAddress address = classifyAddress(utf8);
    if (!address.accepted) {
        lastError = "avformat_open_input: " + ffmpegErrorText(AVERROR_PROTOCOL_NOT_FOUND);
        return false;
    }

    AVIOInterruptCB interrupt {};
    interrupt.callback = &Demuxer::inputInterruptCallback;
    interrupt.opaque = this;
    AVFormatContext* ctx = nullptr;
    std::optional<int> opened = openInput(address, address.url, networkTimeoutUs, interrupt, ctx);
    if (opened && *opened < 0 && *opened != AVERROR_EXIT && !address.fallbackUrl.empty()) {
        defaultLogger()->log(lineLevel(spdlog::level::info), "Demuxer: {} refused ({}), trying {}",
            address.url.substr(0, address.url.find(':')), ffmpegErrorText(*opened),
            address.fallbackUrl.substr(0, address.fallbackUrl.find(':')));
        opened = openInput(address, address.fallbackUrl, networkTimeoutUs, interrupt, ctx);
    }
    if (!opened) {
        lastError = "avformat_alloc_context";
        return false;
    }
    int r = *opened;
    if (r < 0) {
        lastError = "avformat_open_input: " + ffmpegErrorText(r);
        return false;
    }
    freePending();
    if (format)
        avformat_close_input(&format);
    format = ctx;

    streamInfo.reset();
    r = address.network ? avformat_find_stream_info(format, nullptr) : readStreamInfo(utf8, known);
    if (r < 0) {
        lastError = "avformat_find_stream_info: " + ffmpegErrorText(r);
        return false;
    }

    describe(utf8);
    if (address.network)
        mediaInfo.fileSize = -1;
    selectStreams(selection);

    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const int idx = static_cast<int>(i);
        if (idx != audio.index && idx != video.index && idx != subtitle.index)
            format->streams[i]->discard = AVDISCARD_ALL;
    }
    if (audio.index >= 0 && video.index >= 0)
        PacketQueue::linkSiblings(audioQueue, videoQueue, starvationOverflowBytes);

    if (startUs > 0)
        seekTo(startUs);

    defaultLogger()->log(lineLevel(spdlog::level::info),
        "Demuxer: opened '{}' streams={} audio_idx={} video_idx={} sub_idx={} duration_us={} "
        "start_us={} rotation={} sar={}/{}",
        address.network ? redactAddress(utf8) : utf8, format->nb_streams, audio.index, video.index, subtitle.index,
        durationUs(), startUs, rotation, sarNum, sarDen);
    return true;
}

void Demuxer::seekTo(int64_t startUs)
{
    const int idx = video.index >= 0 ? video.index : audio.index;
    const int64_t startOffset = startOffsetOf(format);
    auto seek = [&](int64_t us) {
        const int64_t target = us + startOffset;
        if (idx < 0)
            return av_seek_frame(format, -1, target, AVSEEK_FLAG_BACKWARD);
        return av_seek_frame(
            format, idx, av_rescale_q(target, AV_TIME_BASE_Q, format->streams[idx]->time_base), AVSEEK_FLAG_BACKWARD);
    };
    int r = seek(startUs);
    if (r < 0) {
        defaultLogger()->log(lineLevel(spdlog::level::warn), "Demuxer: av_seek_frame(stream={} {}us) failed: {}", idx,
            startUs, ffmpegErrorText(r));
        return;
    }
    if (video.index < 0)
        return;
    const AVCodecDescriptor* desc = avcodec_descriptor_get(video.codecParameters->codec_id);
    if (desc && (desc->props & AV_CODEC_PROP_INTRA_ONLY))
        return;

    // Inputs without an index (MPEG-TS above all) land on whatever packet is nearest the target, mostly one that
    // cannot be decoded on its own, and the picture would then wait for the next key frame. Step back until the
    // first key frame read lies at or before the target; the decoders drop what comes before the target.
    const int64_t targetTs = av_rescale_q(startUs + startOffset, AV_TIME_BASE_Q, video.timeBase);
    int64_t backUs = 0;
    for (int attempt = 1;; ++attempt) {
        int64_t keyTs = AV_NOPTS_VALUE;
        const KeyScan scan = readToKeyFrame(keyTs);
        if (scan == KeyScan::Found && (keyTs == AV_NOPTS_VALUE || keyTs <= targetTs || backUs > startUs)) {
            if (backUs > 0 && keyTs != AV_NOPTS_VALUE)
                defaultLogger()->log(lineLevel(spdlog::level::info),
                    "Demuxer: seek to {}us starts at a key frame {}us back", startUs,
                    startUs - (av_rescale_q(keyTs, video.timeBase, AV_TIME_BASE_Q) - startOffset));
            return;
        }
        freePending();
        if ((abortFlag && abortFlag->load()) || stop.load())
            return;
        // A stream that marks no key frame within reach, or whose reads fail, would only be read again and again
        // further back.
        if (scan != KeyScan::InputEnded && scan != KeyScan::Found)
            break;
        if (attempt >= seekStepBackTries || backUs > startUs)
            break;
        backUs = backUs == 0 ? seekFirstStepBackUs : backUs * 2;
        // Not clamped at 0: a backward seek to the start itself can land past a first key frame that lies a
        // little after the container's start.
        if (seek(startUs - backUs) < 0)
            break;
    }
    // No key frame at or before the target: decode from where the plain seek lands, as before.
    defaultLogger()->log(lineLevel(spdlog::level::warn), "Demuxer: no key frame found before {}us", startUs);
    seek(startUs);
}

Demuxer::KeyScan Demuxer::readToKeyFrame(int64_t& keyTs)
{
    int64_t bytes = 0;
    for (int count = 0; count < keyScanPackets && bytes < keyScanBytes; ++count) {
        AVPacket* packet = av_packet_alloc();
        if (!packet)
            return KeyScan::Failed;
        const int r = av_read_frame(format, packet);
        if (r < 0) {
            av_packet_free(&packet);
            // Only the end of the input makes a look further back worth while; a failing read would fail again.
            const bool ended = r == AVERROR_EOF || (format->pb && avio_feof(format->pb) && format->pb->error >= 0);
            return ended ? KeyScan::InputEnded : KeyScan::Failed;
        }
        bytes += packet->size;
        if (packet->stream_index != video.index) {
            pending.push_back(packet);
            continue;
        }
        if (!(packet->flags & AV_PKT_FLAG_KEY)) {
            // Needs pictures from before the landing point; the decoder could only drop it.
            av_packet_free(&packet);
            continue;
        }
        keyTs = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
        pending.push_back(packet);
        return KeyScan::Found;
    }
    return KeyScan::OutOfReach;
}

void Demuxer::freePending()
{
    for (AVPacket* packet : pending)
        av_packet_free(&packet);
    pending.clear();
}

namespace {

// The container's own description: its format, length, bit rate, file size and tags.
void describeContainer(const AVFormatContext* format, const std::string& path, int64_t durationUs, MediaInfo& info)
{
    info = MediaInfo {};
    info.path = path;
    if (format->iformat) {
        info.formatName = format->iformat->name ? format->iformat->name : "";
        info.formatLongName = format->iformat->long_name ? format->iformat->long_name : "";
    }
    info.durationUs = durationUs;
    info.bitRate = format->bit_rate;
    std::error_code ec;
    const auto size = std::filesystem::file_size(std::filesystem::path(path), ec);
    info.fileSize = ec ? -1 : static_cast<int64_t>(size);

    const AVDictionaryEntry* e = nullptr;
    while ((e = av_dict_get(format->metadata, "", e, AV_DICT_IGNORE_SUFFIX)))
        info.tags.push_back({ e->key, e->value ? e->value : "" });
}

// Ogg keeps its Vorbis comments on the audio stream; show them as the medium's tags.
void addOggStreamTags(const AVFormatContext* format, MediaInfo& info)
{
    if (info.formatName != "ogg")
        return;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        if (st->codecpar->codec_type != AVMEDIA_TYPE_AUDIO)
            continue;
        const AVDictionaryEntry* t = nullptr;
        while ((t = av_dict_get(st->metadata, "", t, AV_DICT_IGNORE_SUFFIX))) {
            const std::string key = lowerAscii(t->key);
            if (key == "encoder" || key == "language" || key == "handler_name" || key == "vendor_id")
                continue;
            if (av_dict_get(format->metadata, t->key, nullptr, 0))
                continue;
            info.tags.push_back({ t->key, t->value ? t->value : "" });
        }
        break;
    }
}

void describeChapters(const AVFormatContext* format, MediaInfo& info)
{
    const int64_t startOffset = startOffsetOf(format);
    for (unsigned i = 0; i < format->nb_chapters; ++i) {
        const AVChapter* ch = format->chapters[i];
        ChapterInfo c;
        c.startUs = av_rescale_q(ch->start, ch->time_base, AV_TIME_BASE_Q) - startOffset;
        if (c.startUs < 0)
            c.startUs = 0;
        c.endUs = av_rescale_q(ch->end, ch->time_base, AV_TIME_BASE_Q) - startOffset;
        c.title = dictValue(ch->metadata, "title");
        info.chapters.push_back(std::move(c));
    }
}

// An attached font (by its MIME type or file name) with data, added to `fonts`.
void addFontAttachment(const AVStream* st, std::vector<FontAttachment>& fonts)
{
    const AVCodecParameters* par = st->codecpar;
    const std::string mime = lowerAscii(dictValue(st->metadata, "mimetype"));
    const std::string filename = dictValue(st->metadata, "filename");
    const std::string lowerName = lowerAscii(filename);
    const bool isFont = mime.find("font") != std::string::npos || mime.find("truetype") != std::string::npos
        || endsWith(lowerName, ".ttf") || endsWith(lowerName, ".otf") || endsWith(lowerName, ".ttc");
    if (isFont && par->extradata && par->extradata_size > 0)
        fonts.push_back({ filename, std::vector<uint8_t>(par->extradata, par->extradata + par->extradata_size) });
}

// The track kind of a stream (0 video, 1 audio, 2 subtitles), or -1 for one that is not listed as a track.
int trackKindOf(const AVCodecParameters* par)
{
    switch (par->codec_type) {
    case AVMEDIA_TYPE_VIDEO:
        return 0;
    case AVMEDIA_TYPE_AUDIO:
        return 1;
    case AVMEDIA_TYPE_SUBTITLE:
        return avcodec_find_decoder(par->codec_id) ? 2 : -1;
    default:
        return -1;
    }
}

// The picture's or the sound's format, by the track's kind.
void describeTrackFormat(const AVStream* st, TrackInfo& t)
{
    const AVCodecParameters* par = st->codecpar;
    if (t.kind == 0) {
        t.width = par->width;
        t.height = par->height;
        const AVRational rate = st->avg_frame_rate.num >= 1 ? st->avg_frame_rate : st->r_frame_rate;
        t.frameRate = rate.num >= 1 && rate.den >= 1 ? av_q2d(rate) : 0.0;
        if (const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(par->format)))
            t.pixelFormat = name;
    } else if (t.kind == 1) {
        t.sampleRate = par->sample_rate;
        t.channels = par->ch_layout.nb_channels;
        char layout[128];
        if (av_channel_layout_describe(&par->ch_layout, layout, sizeof layout) >= 0)
            t.channelLayout = layout;
        if (const char* name = av_get_sample_fmt_name(static_cast<AVSampleFormat>(par->format)))
            t.sampleFormat = name;
    }
}

TrackInfo describeTrack(const AVStream* st, int32_t index, int kind)
{
    const AVCodecParameters* par = st->codecpar;
    TrackInfo t;
    t.kind = kind;
    t.streamIndex = index;
    t.codec = avcodec_get_name(par->codec_id);
    if (const AVCodecDescriptor* desc = avcodec_descriptor_get(par->codec_id)) {
        t.codecLongName = desc->long_name ? desc->long_name : "";
        if (t.kind == 2)
            t.bitmap = (desc->props & AV_CODEC_PROP_BITMAP_SUB) != 0;
    }
    if (avcodec_find_decoder(par->codec_id)) {
        if (const char* profile = avcodec_profile_name(par->codec_id, par->profile))
            t.profile = profile;
    }
    t.language = dictValue(st->metadata, "language");
    if (t.language == "und")
        t.language.clear();
    t.title = dictValue(st->metadata, "title");
    if (t.title.empty())
        t.title = dictValue(st->metadata, "handler_name");
    if (lowerAscii(t.title).find("handler") != std::string::npos)
        t.title.clear();
    t.isDefault = (st->disposition & AV_DISPOSITION_DEFAULT) != 0;
    t.forced = (st->disposition & AV_DISPOSITION_FORCED) != 0;
    t.bitRate = par->bit_rate;
    describeTrackFormat(st, t);
    return t;
}

} // namespace

void Demuxer::describe(const std::string& path)
{
    describeContainer(format, path, durationUs(), mediaInfo);
    addOggStreamTags(format, mediaInfo);
    describeChapters(format, mediaInfo);

    fonts.clear();
    coverStreamIndex = -1;
    for (unsigned i = 0; i < format->nb_streams; ++i) {
        const AVStream* st = format->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_ATTACHMENT) {
            addFontAttachment(st, fonts);
            continue;
        }
        if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) {
            if (coverStreamIndex < 0)
                coverStreamIndex = static_cast<int32_t>(i);
            continue;
        }
        const int kind = trackKindOf(st->codecpar);
        if (kind >= 0)
            mediaInfo.tracks.push_back(describeTrack(st, static_cast<int32_t>(i), kind));
    }
}

namespace {

// A stream of the given type that is not a cover picture.
bool isStreamOf(const AVFormatContext* format, int i, AVMediaType type)
{
    return i >= 0 && i < static_cast<int>(format->nb_streams) && format->streams[i]->codecpar->codec_type == type
        && !(format->streams[i]->disposition & AV_DISPOSITION_ATTACHED_PIC);
}

// FFmpeg's best video stream, else the first video stream there is.
int chooseVideoStream(AVFormatContext* format)
{
    int v = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    if (!isStreamOf(format, v, AVMEDIA_TYPE_VIDEO)) {
        v = -1;
        for (int i = 0; i < static_cast<int>(format->nb_streams) && v < 0; ++i) {
            if (isStreamOf(format, i, AVMEDIA_TYPE_VIDEO))
                v = i;
        }
    }
    return v;
}

// The chosen audio track, else the first in the preferred language, the default one, or FFmpeg's best.
int chooseAudioStream(AVFormatContext* format, const MediaInfo& info, const StreamSelection& selection, int video)
{
    if (isStreamOf(format, selection.audioTrack, AVMEDIA_TYPE_AUDIO))
        return selection.audioTrack;
    int a = -1;
    if (!selection.preferredAudioLanguage.empty()) {
        for (const auto& t : info.tracks) {
            if (t.kind == 1 && sameLanguage(t.language, selection.preferredAudioLanguage)) {
                a = t.streamIndex;
                break;
            }
        }
    }
    if (a < 0) {
        for (const auto& t : info.tracks) {
            if (t.kind == 1 && t.isDefault) {
                a = t.streamIndex;
                break;
            }
        }
    }
    if (a < 0)
        a = av_find_best_stream(format, AVMEDIA_TYPE_AUDIO, -1, video, nullptr, 0);
    return isStreamOf(format, a, AVMEDIA_TYPE_AUDIO) ? a : -1;
}

// The chosen subtitle track; or, when left to choice (-2), the first unforced one in the preferred language, a
// forced one, or the default one; none otherwise.
int chooseSubtitleStream(const AVFormatContext* format, const MediaInfo& info, const StreamSelection& selection)
{
    int s = -1;
    if (selection.subtitleTrack >= 0) {
        if (isStreamOf(format, selection.subtitleTrack, AVMEDIA_TYPE_SUBTITLE))
            s = selection.subtitleTrack;
    } else if (selection.subtitleTrack == -2) {
        if (!selection.preferredSubtitleLanguage.empty()) {
            for (const auto& t : info.tracks) {
                if (t.kind == 2 && !t.forced && sameLanguage(t.language, selection.preferredSubtitleLanguage)) {
                    s = t.streamIndex;
                    break;
                }
            }
        }
        for (const auto& t : info.tracks) {
            if (s >= 0)
                break;
            if (t.kind == 2 && t.forced)
                s = t.streamIndex;
        }
        for (const auto& t : info.tracks) {
            if (s >= 0)
                break;
            if (t.kind == 2 && t.isDefault)
                s = t.streamIndex;
        }
    }
    return s;
}

void fillSlot(const AVFormatContext* format, StreamSlot& slot, int index)
{
    if (index < 0)
        return;
    slot.index = index;
    slot.codecParameters = format->streams[index]->codecpar;
    slot.timeBase = format->streams[index]->time_base;
}

} // namespace

void Demuxer::selectStreams(const StreamSelection& selection)
{
    audio = StreamSlot {};
    video = StreamSlot {};
    subtitle = StreamSlot {};
    const int v = chooseVideoStream(format);
    const int a = chooseAudioStream(format, mediaInfo, selection, v);
    const int s = chooseSubtitleStream(format, mediaInfo, selection);
    fillSlot(format, video, v);
    fillSlot(format, audio, a);
    fillSlot(format, subtitle, s);
    describePicture(v);
}

void Demuxer::describePicture(int videoIndex)
{
    rotation = 0;
    sarNum = 1;
    sarDen = 1;
    frameRate = 0.0;
    if (videoIndex < 0)
        return;
    AVStream* st = format->streams[videoIndex];
    size_t size = 0;
    const uint8_t* matrix = streamDisplayMatrix(st, size);
    rotation = rotationFromDisplayMatrix(matrix, size);
    const AVRational sar = av_guess_sample_aspect_ratio(format, st, nullptr);
    if (sar.num > 0 && sar.den > 0) {
        sarNum = sar.num;
        sarDen = sar.den;
    }
    const AVRational rate = st->avg_frame_rate.num >= 1 ? st->avg_frame_rate : st->r_frame_rate;
    frameRate = rate.num >= 1 && rate.den >= 1 ? av_q2d(rate) : 0.0;
}

void Demuxer::start(std::atomic<int64_t>* packetCounter)
{
    if (thread.joinable())
        return;
    stop.store(false);
    finished.store(false);
    if (!format) {
        finished.store(true);
        audioQueue.close();
        videoQueue.close();
        return;
    }
    try {
        thread = std::thread(&Demuxer::readLoop, this, packetCounter);
    } catch (const std::system_error& e) {
        defaultLogger()->error("Demuxer: cannot start the read thread: {}", e.what());
        finished.store(true);
        audioQueue.close();
        videoQueue.close();
    }
}

void Demuxer::join()
{
    stop.store(true);
    audioQueue.close();
    videoQueue.close();
    if (thread.joinable())
        thread.join();
}

void Demuxer::dropAudio()
{
    if (format && audio.index >= 0 && audio.index < static_cast<int>(format->nb_streams))
        format->streams[audio.index]->discard = AVDISCARD_ALL;
    audio = StreamSlot {};
    audioQueue.close();
}

void Demuxer::readLoop(std::atomic<int64_t>* packetCounter)
{
    pthread_setname_np(pthread_self(), "kvr-demux");
    try {
        const int64_t startOffset = startOffsetOf(format);
        while (!stop.load()) {
            AVPacket* packet = nullptr;
            int r = 0;
            if (!pending.empty()) {
                packet = pending.front();
                pending.pop_front();
            } else {
                packet = av_packet_alloc();
                if (!packet)
                    break;
                r = av_read_frame(format, packet);
            }
            if (r < 0) {
                av_packet_free(&packet);
                const int ioError = format->pb ? format->pb->error : 0;
                if (r == AVERROR_EXIT || ioError == AVERROR_EXIT) {
                    // Interrupted by an abort or by stop: nothing to report.
                } else if (ioError < 0 && ioError != AVERROR_EOF) {
                    // A failed or timed-out read also marks the I/O context as at its end; it is no end of file.
                    defaultLogger()->error("Demuxer: av_read_frame: {}", ffmpegErrorText(ioError));
                } else if (r == AVERROR_EOF || (format->pb && avio_feof(format->pb))) {
                    defaultLogger()->info("Demuxer: EOF");
                } else {
                    defaultLogger()->error("Demuxer: av_read_frame: {}", ffmpegErrorText(r));
                }
                break;
            }

            if (startOffset != 0 && packet->stream_index >= 0
                && packet->stream_index < static_cast<int>(format->nb_streams)) {
                const int64_t offset
                    = av_rescale_q(startOffset, AV_TIME_BASE_Q, format->streams[packet->stream_index]->time_base);
                if (packet->pts != AV_NOPTS_VALUE)
                    packet->pts -= offset;
                if (packet->dts != AV_NOPTS_VALUE)
                    packet->dts -= offset;
            }

            bool handed = false;
            bool closed = false;
            if (packet->stream_index == audio.index && audio.index >= 0) {
                handed = audioQueue.push(packet);
                closed = !handed;
            } else if (packet->stream_index == video.index && video.index >= 0) {
                handed = videoQueue.push(packet);
                closed = !handed;
            } else if (packet->stream_index == subtitle.index && subtitle.index >= 0 && onSubtitlePacket) {
                try {
                    onSubtitlePacket(packet, subtitle.timeBase);
                } catch (const std::exception& e) {
                    defaultLogger()->warn("Demuxer: subtitle packet: {}", e.what());
                }
            }
            if (!handed)
                av_packet_free(&packet);
            if (closed)
                break;
            if (packetCounter)
                packetCounter->fetch_add(1);
        }
    } catch (...) {
        // Nothing may leave the thread; the queues are closed below either way.
    }
    finished.store(true);
    audioQueue.close();
    videoQueue.close();
}

} // namespace kvr::engine::internal
