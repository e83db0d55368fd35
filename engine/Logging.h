#pragma once

#include <cstdarg>
#include <memory>
#include <utility>

#include <spdlog/logger.h>

namespace kvr::engine {

// Sets up the process-wide "kvr" logger (rotating "kvr.log" in the private directory) and forwards FFmpeg's
// warnings and errors into it. Only the first call in the process does anything; never throws.
void init_logging();

std::shared_ptr<spdlog::logger> defaultLogger();

// FFmpeg's log callback: warnings and errors only, as "ffmpeg: {}".
void ffmpegLogCallback(void* avcl, int level, const char* fmt, va_list vl);

// While one lives on a thread, the engine's lines from that thread, FFmpeg's included, are written at debug
// level: the library scanner reads thousands of files, and a line or more for each would bury the rest.
// Scopes nest.
class QuietLogScope {
public:
    QuietLogScope();
    ~QuietLogScope();
    QuietLogScope(const QuietLogScope&) = delete;
    QuietLogScope& operator=(const QuietLogScope&) = delete;

private:
    bool outer_;
};

// The level a line of `level` is written at on the calling thread: debug inside a QuietLogScope.
spdlog::level::level_enum lineLevel(spdlog::level::level_enum level);

// Log lines from engine threads: a failure to log never throws into the caller.
template <typename... Args> void logInfo(fmt::format_string<Args...> format, Args&&... args)
{
    try {
        defaultLogger()->log(lineLevel(spdlog::level::info), format, std::forward<Args>(args)...);
    } catch (...) {
    }
}

template <typename... Args> void logWarning(fmt::format_string<Args...> format, Args&&... args)
{
    try {
        defaultLogger()->log(lineLevel(spdlog::level::warn), format, std::forward<Args>(args)...);
    } catch (...) {
    }
}

template <typename... Args> void logError(fmt::format_string<Args...> format, Args&&... args)
{
    try {
        defaultLogger()->log(lineLevel(spdlog::level::err), format, std::forward<Args>(args)...);
    } catch (...) {
    }
}

// Appends one line to "kvr_trace.txt" in the private directory; standard error when that cannot be written.
void emergencyTrace(const char* line);

} // namespace kvr::engine
