// Container rules and the name tables that turn container and codec names into FFmpeg muxers and encoders.
#include "engine/convert/Transcoder.h"

#include "engine/internal/FfmpegSupport.h"

#include <algorithm>
#include <initializer_list>
#include <unordered_map>

namespace kvr::engine {

namespace {

bool isOneOf(const std::string& value, std::initializer_list<const char*> names)
{
    return std::any_of(names.begin(), names.end(), [&](const char* name) { return value == name; });
}

} // namespace

bool isAudioOnlyContainer(const std::string& container)
{
    return isOneOf(container, { "mp3", "m4a", "ogg", "opus", "flac", "wav" });
}

std::string errorString(int code)
{
    return internal::ffmpegErrorText(code);
}

std::string Transcoder::validate(
    const std::string& container, const std::string& videoCodec, const std::string& audioCodec)
{
    const std::string& c = container;
    const std::string& v = videoCodec;
    const std::string& a = audioCodec;
    if (isAudioOnlyContainer(c) && v != "none")
        return c + " holds audio only \u2014 choose \"No video\"";
    if (c == "webm" && !isOneOf(v, { "vp9", "av1", "none", "copy" }))
        return "WebM allows only VP9 or AV1 video";
    if (c == "webm" && !isOneOf(a, { "opus", "none", "copy" }))
        return "WebM allows only Opus audio";
    if (c == "mp3" && !isOneOf(a, { "mp3", "copy" }))
        return "MP3 files hold MP3 audio only";
    if (c == "m4a" && !isOneOf(a, { "aac", "alac", "copy" }))
        return "M4A holds AAC or ALAC audio";
    if (c == "ogg" && !isOneOf(a, { "opus", "flac", "copy" }))
        return "Ogg holds Opus or FLAC audio";
    if (c == "opus" && !isOneOf(a, { "opus", "copy" }))
        return ".opus files hold Opus audio only";
    if (c == "flac" && !isOneOf(a, { "flac", "copy" }))
        return ".flac files hold FLAC audio only";
    if (c == "wav" && !isOneOf(a, { "pcm", "copy" }))
        return "WAV holds PCM audio";
    if (c == "avi" && !isOneOf(v, { "mpeg4", "h264", "copy", "none" }))
        return "AVI supports MPEG-4 or H.264 video here";
    if (c == "avi" && !isOneOf(a, { "mp3", "ac3", "pcm", "copy", "none" }))
        return "AVI supports MP3, AC-3 or PCM audio";
    if (c == "ts" && !isOneOf(v, { "h264", "hevc", "mpeg2", "copy", "none" }))
        return "MPEG-TS supports H.264, HEVC or MPEG-2 video";
    if (c == "ts" && !isOneOf(a, { "aac", "mp3", "ac3", "opus", "copy", "none" }))
        return "MPEG-TS supports AAC, MP3, AC-3 or Opus audio";
    if (c == "mov" && v == "vp9")
        return "MOV does not support VP9";
    // FFmpeg's mov muxer refuses these at the header ("only supported in MP4"); say so before the job starts.
    if (c == "mov" && v == "av1")
        return "MOV does not support AV1";
    if (c == "mov" && isOneOf(a, { "opus", "flac" }))
        return "MOV does not support Opus or FLAC audio \u2014 use MP4 or MKV";
    if (c == "mp4" && a == "pcm")
        return "MP4 does not support PCM audio \u2014 use MOV or MKV";
    if (v == "none" && a == "none")
        return "Choose at least one of audio or video";
    return {};
}

const char* Transcoder::muxerNameFor(const std::string& container)
{
    static const std::unordered_map<std::string, const char*> muxers {
        { "mp4", "mp4" },
        { "mkv", "matroska" },
        { "webm", "webm" },
        { "mov", "mov" },
        { "avi", "avi" },
        { "ts", "mpegts" },
        { "mp3", "mp3" },
        { "m4a", "mp4" },
        { "ogg", "ogg" },
        { "opus", "opus" },
        { "flac", "flac" },
        { "wav", "wav" },
    };
    const auto it = muxers.find(container);
    return it == muxers.end() ? nullptr : it->second;
}

const std::vector<std::string>& Transcoder::encoderNameFor(const std::string& codec)
{
    // H.264 and HEVC: the VA-API encoders first, then the software ones; each must pass a test encode.
    static const std::unordered_map<std::string, std::vector<std::string>> encoders {
        { "h264", { "h264_vaapi", "libx264" } },
        { "hevc", { "hevc_vaapi", "libx265" } },
        { "vp9", { "libvpx-vp9" } },
        { "av1", { "libaom-av1" } },
        { "mpeg4", { "mpeg4" } },
        { "mpeg2", { "mpeg2video" } },
        { "aac", { "aac" } },
        { "opus", { "libopus", "opus" } },
        { "mp3", { "libmp3lame" } },
        { "flac", { "flac" } },
        { "alac", { "alac" } },
        { "ac3", { "ac3" } },
        { "pcm", { "pcm_s16le" } },
    };
    static const std::vector<std::string> none;
    const auto it = encoders.find(codec);
    return it == encoders.end() ? none : it->second;
}

} // namespace kvr::engine
