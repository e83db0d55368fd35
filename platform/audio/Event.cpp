#include "platform/audio/Event.h"

namespace kvr::platform::audio {

void Event::set()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        signalled = true;
    }
    if (manualReset)
        cond.notify_all();
    else
        cond.notify_one();
}

void Event::reset()
{
    std::lock_guard<std::mutex> lock(mutex);
    signalled = false;
}

bool Event::wait(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!cond.wait_for(lock, timeout, [this] { return signalled; }))
        return false;
    if (!manualReset)
        signalled = false;
    return true;
}

void Event::wait()
{
    std::unique_lock<std::mutex> lock(mutex);
    cond.wait(lock, [this] { return signalled; });
    if (!manualReset)
        signalled = false;
}

} // namespace kvr::platform::audio
