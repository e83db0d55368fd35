#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kvr::platform::audio {

// A wait/notify flag in the manner of a kernel event: an automatic-reset event lets exactly one wait through per
// set; a manual-reset event stays set until reset. Never allocates after construction, so the audio period path
// may use it.
class Event {
public:
    enum class Reset { Automatic, Manual };

    explicit Event(Reset reset)
        : manualReset(reset == Reset::Manual)
    {
    }
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;

    void set();
    void reset();
    // True when the event was (or became) set within the time-out; an automatic-reset event is then cleared.
    bool wait(std::chrono::milliseconds timeout);
    void wait();

private:
    const bool manualReset;
    std::mutex mutex;
    std::condition_variable cond;
    bool signalled = false;
};

} // namespace kvr::platform::audio
