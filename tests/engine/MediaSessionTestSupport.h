#pragma once

// Shared by the session's tests: a session on a silent steady-clock endpoint, a recorder of state callbacks,
// log helpers and a "render thread" that takes frames the way the video sink does.
#include "engine/Logging.h"
#include "engine/MediaSession.h"
#include "engine/PrivateDirectory.h"
#include "platform/audio/VirtualEndpoint.h"
#include "tests/support/TestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kvr::test::session {

using engine::MediaSession;
using engine::PlayerState;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Plays on an endpoint that takes audio at its sample rate by the steady clock and plays nothing.
inline std::unique_ptr<MediaSession> makeSession()
{
    return std::make_unique<MediaSession>(
        [] { return platform::audio::makeSilentEnumerator(platform::audio::MixFormat {}); });
}

class StateRecorder {
public:
    explicit StateRecorder(MediaSession& session)
    {
        session.setStateCallback([this](PlayerState s) {
            std::lock_guard lock(mutex);
            seen.push_back(s);
        });
    }
    std::vector<PlayerState> take()
    {
        std::lock_guard lock(mutex);
        return std::exchange(seen, {});
    }

private:
    std::mutex mutex;
    std::vector<PlayerState> seen;
};

inline std::string logText()
{
    return readFile(engine::privateDirectory() / "kvr.log");
}

inline size_t countOf(const std::string& text, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++n;
    return n;
}

// Occurrences of `needle` in the log and in the files it has rotated into (a long run fills more than one), read
// from the oldest: a rotation meanwhile can make the count fall short, never too high.
inline size_t countInLogs(const std::string& needle)
{
    const auto directory = engine::privateDirectory();
    size_t n = 0;
    for (const char* name : { "kvr.3.log", "kvr.2.log", "kvr.1.log", "kvr.log" })
        n += countOf(readFile(directory / name), needle);
    return n;
}

// The start position of the latest demuxer open in the log; -1 when there is none after `from`.
inline int64_t lastOpenStartUs(size_t from = 0)
{
    const std::string text = logText();
    const size_t line = text.rfind("Demuxer: opened");
    if (line == std::string::npos || line < from)
        return -1;
    const size_t at = text.find("start_us=", line);
    return at == std::string::npos ? -1 : std::stoll(text.substr(at + 9));
}

inline bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// Takes the due frame by the video clock every 5 ms, as the video sink does on the render thread.
class RenderLoop {
public:
    struct Shown {
        Clock::time_point at;
        int64_t pts;
    };

    explicit RenderLoop(MediaSession& session)
        : session(session)
        , thread([this] { run(); })
    {
    }
    ~RenderLoop() { stop(); }
    void stop()
    {
        stopping = true;
        if (thread.joinable())
            thread.join();
    }
    std::vector<Shown> shown()
    {
        std::lock_guard lock(mutex);
        return frames;
    }
    // How long this loop waited for the processor beyond its own sleep: the longest such wait and all of them
    // together. On a busy machine the session's threads wait as long, and timing checks allow for it.
    std::chrono::duration<double> longestStall()
    {
        std::lock_guard lock(mutex);
        return longest;
    }
    std::chrono::duration<double> totalStall()
    {
        std::lock_guard lock(mutex);
        return total;
    }

private:
    void run()
    {
        engine::internal::SubtitleOverlay overlay;
        while (!stopping) {
            auto frame = session.takeFrame(session.videoClockUs(), false);
            session.renderSubtitles(320, 240, overlay);
            if (frame) {
                std::lock_guard lock(mutex);
                frames.push_back({ Clock::now(), frame->pts });
            }
            const auto sleepFrom = Clock::now();
            std::this_thread::sleep_for(5ms);
            const std::chrono::duration<double> overslept = Clock::now() - sleepFrom - 5ms;
            std::lock_guard lock(mutex);
            longest = std::max(longest, overslept);
            total += std::max(overslept, std::chrono::duration<double>(0));
        }
    }

    MediaSession& session;
    std::mutex mutex;
    std::vector<Shown> frames;
    std::chrono::duration<double> longest { 0 };
    std::chrono::duration<double> total { 0 };
    std::atomic<bool> stopping { false };
    std::thread thread;
};

} // namespace kvr::test::session
