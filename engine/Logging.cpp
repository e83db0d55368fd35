#include "engine/Logging.h"

#include "engine/AddressRedaction.h"
#include "engine/FileWrite.h"
#include "engine/PrivateDirectory.h"

extern "C" {
#include <libavutil/log.h>
}
#include <spdlog/sinks/rotating_file_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

namespace kvr::engine {
namespace {

std::atomic<int> loggingStarted { 0 };
std::mutex emergencyMutex;
thread_local bool quietThread = false;

} // namespace

QuietLogScope::QuietLogScope()
    : outer_(quietThread)
{
    quietThread = true;
}

QuietLogScope::~QuietLogScope()
{
    quietThread = outer_;
}

spdlog::level::level_enum lineLevel(spdlog::level::level_enum level)
{
    return quietThread ? spdlog::level::debug : level;
}

void emergencyTrace(const char* line)
{
    std::lock_guard<std::mutex> lock(emergencyMutex);
    std::string text = line ? line : "";
    text += '\n';
    bool written = false;
    try {
        const auto path = (privateDirectoryOrCurrent() / "kvr_trace.txt").string();
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            written = writeFully(fd, text);
            ::close(fd);
        }
    } catch (...) {
        written = false;
    }
    if (!written)
        writeFully(STDERR_FILENO, text);
}

std::shared_ptr<spdlog::logger> defaultLogger()
{
    return spdlog::default_logger();
}

void ffmpegLogCallback(void* avcl, int level, const char* fmt, va_list vl)
{
    if (level > AV_LOG_WARNING)
        return;
    thread_local int printPrefix = 1;
    char line[1024];
    line[0] = '\0';
    av_log_format_line2(avcl, level, fmt, vl, line, sizeof line, &printPrefix);
    size_t len = std::strlen(line);
    while (len > 0 && (line[len - 1] == '\n' || line[len - 1] == '\r'))
        line[--len] = '\0';
    if (len == 0)
        return;
    try {
        // FFmpeg names addresses as it opened them, credentials included.
        std::string redacted;
        const char* text = line;
        if (std::strchr(line, '@') && std::strstr(line, "://")) {
            redacted = redactAddressesIn(line);
            text = redacted.c_str();
        }
        spdlog::default_logger_raw()->log(
            lineLevel(level <= AV_LOG_ERROR ? spdlog::level::err : spdlog::level::warn), "ffmpeg: {}", text);
    } catch (...) {
        // A log line must never take FFmpeg's thread down.
    }
}

void init_logging()
{
    int expected = 0;
    if (!loggingStarted.compare_exchange_strong(expected, 1))
        return;
    emergencyTrace("init_logging: enter");
    try {
        const std::string file = (privateDirectoryOrCurrent() / "kvr.log").string();
        auto sink = std::make_shared<spdlog::sinks::rotating_file_sink_mt>(file, 0x500000, 3, false);
        auto logger = std::make_shared<spdlog::logger>("kvr", spdlog::sinks_init_list { sink });
        logger->set_level(spdlog::level::info);
        logger->set_pattern("[%H:%M:%S.%e] [t=%t] [%^%l%$] %v", spdlog::pattern_time_type::local);
        logger->flush_on(spdlog::level::info);
        spdlog::set_default_logger(logger);
        av_log_set_callback(&ffmpegLogCallback);
        emergencyTrace(("init_logging: ok, file=" + file).c_str());
    } catch (const std::exception& e) {
        emergencyTrace((std::string("init_logging: FAILED ") + e.what()).c_str());
    } catch (...) {
        emergencyTrace("init_logging: FAILED unknown exception");
    }
}

} // namespace kvr::engine
