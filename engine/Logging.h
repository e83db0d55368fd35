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

// Log lines from engine threads: a failure to log never throws into the caller.
template <typename... Args> void logInfo(fmt::format_string<Args...> format, Args&&... args)
{
    try {
        defaultLogger()->info(format, std::forward<Args>(args)...);
    } catch (...) {
    }
}

template <typename... Args> void logWarning(fmt::format_string<Args...> format, Args&&... args)
{
    try {
        defaultLogger()->warn(format, std::forward<Args>(args)...);
    } catch (...) {
    }
}

template <typename... Args> void logError(fmt::format_string<Args...> format, Args&&... args)
{
    try {
        defaultLogger()->error(format, std::forward<Args>(args)...);
    } catch (...) {
    }
}

// Appends one line to "kvr_trace.txt" in the private directory; standard error when that cannot be written.
void emergencyTrace(const char* line);

} // namespace kvr::engine
