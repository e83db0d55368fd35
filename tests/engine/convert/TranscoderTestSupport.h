// What the conversion tests share: running a conversion, reading its output back, decoding it with ffmpeg.
#pragma once

#include "engine/Logging.h"
#include "engine/convert/Transcoder.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>
#include <spdlog/sinks/base_sink.h>

extern "C" {
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvr::test {

// A file in the test's scratch folder, in a sub-folder of its own per suite.
inline std::filesystem::path transcodeScratch(const std::string& folder, const std::string& name)
{
    const std::filesystem::path dir = scratchDirectory() / folder;
    std::filesystem::create_directories(dir);
    return dir / name;
}

// Each conversion on a thread of its own: the pass lowers its thread's priority for good.
inline engine::TranscodeResult convert(const engine::TranscodeOptions& options,
    const engine::TranscodeProgressCallback* progress = nullptr, const std::atomic<bool>* cancel = nullptr)
{
    const std::atomic<bool> never { false };
    engine::TranscodeResult result;
    std::thread([&] { result = engine::Transcoder::transcode(options, progress, cancel ? cancel : &never); }).join();
    return result;
}

// What a converted file holds, read back with libavformat.
struct OutputProbe {
    AVFormatContext* ctx = nullptr;
    explicit OutputProbe(const std::filesystem::path& path)
    {
        if (avformat_open_input(&ctx, path.c_str(), nullptr, nullptr) < 0
            || avformat_find_stream_info(ctx, nullptr) < 0)
            ADD_FAILURE() << "cannot open " << path;
    }
    ~OutputProbe() { avformat_close_input(&ctx); }
    OutputProbe(const OutputProbe&) = delete;
    OutputProbe& operator=(const OutputProbe&) = delete;

    int count(AVMediaType type) const
    {
        int n = 0;
        for (unsigned i = 0; ctx && i < ctx->nb_streams; ++i)
            n += ctx->streams[i]->codecpar->codec_type == type ? 1 : 0;
        return n;
    }
    const AVStream* first(AVMediaType type) const
    {
        for (unsigned i = 0; ctx && i < ctx->nb_streams; ++i)
            if (ctx->streams[i]->codecpar->codec_type == type)
                return ctx->streams[i];
        return nullptr;
    }
    const AVCodecParameters* params(AVMediaType type) const
    {
        const AVStream* stream = first(type);
        return stream ? stream->codecpar : nullptr;
    }
    // Every packet of one stream, in file order; the caller frees them with freePackets.
    std::vector<AVPacket*> packets(const AVStream* stream)
    {
        std::vector<AVPacket*> list;
        AVPacket* p = av_packet_alloc();
        while (ctx && av_read_frame(ctx, p) >= 0) {
            if (p->stream_index == stream->index)
                list.push_back(av_packet_clone(p));
            av_packet_unref(p);
        }
        av_packet_free(&p);
        return list;
    }
};

inline void freePackets(std::vector<AVPacket*>& list)
{
    for (AVPacket*& p : list)
        av_packet_free(&p);
    list.clear();
}

// What the ffmpeg tool says while decoding the whole file; empty when it decodes cleanly.
inline std::string decodeErrors(const std::filesystem::path& file)
{
    const std::string command = "ffmpeg -nostdin -v error -i '" + file.string() + "' -f null - 2>&1";
    std::string said;
    if (FILE* pipe = ::popen(command.c_str(), "r")) {
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, pipe))
            said += buffer;
        if (::pclose(pipe) != 0)
            said += "(ffmpeg failed)";
    } else {
        said = "(cannot run ffmpeg)";
    }
    return said;
}

class WarningSink : public spdlog::sinks::base_sink<std::mutex> {
public:
    bool saw(const std::string& text)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l == text; });
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        if (msg.level == spdlog::level::warn)
            lines.emplace_back(msg.payload.data(), msg.payload.size());
    }
    void flush_() override { }

private:
    std::vector<std::string> lines;
};

// Collects the warnings of the conversions run while it lives.
class Warnings {
public:
    Warnings()
    {
        engine::init_logging();
        engine::defaultLogger()->sinks().push_back(sink);
    }
    ~Warnings()
    {
        auto& sinks = engine::defaultLogger()->sinks();
        sinks.erase(std::remove(sinks.begin(), sinks.end(), sink), sinks.end());
    }
    bool saw(const std::string& text) { return sink->saw(text); }

private:
    std::shared_ptr<WarningSink> sink = std::make_shared<WarningSink>();
};

} // namespace kvr::test
