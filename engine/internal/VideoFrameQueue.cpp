#include "engine/internal/VideoFrameQueue.h"

namespace kvr::engine::internal {

VideoFrameQueue::VideoFrameQueue(size_t capacity)
    : capacity(capacity)
{
}

bool VideoFrameQueue::push(std::shared_ptr<VideoFrame>&& frame)
{
    std::unique_lock lock(mutex);
    if (!frame)
        return !aborted; // nothing to show; never queue an empty entry
    while (frames.size() >= capacity && !aborted)
        notFull.wait(lock);
    if (aborted) {
        frame.reset();
        return false;
    }
    const bool first = !anyPushed;
    if (first) {
        anyPushed = true;
        firstPushedPts = frame->pts;
    }
    frames.push_back(std::move(frame));
    if (first)
        firstPushed.notify_all();
    return true;
}

std::shared_ptr<VideoFrame> VideoFrameQueue::takeDue(int64_t clockUs, bool force)
{
    std::shared_ptr<VideoFrame> taken;
    bool popped = false;
    {
        std::lock_guard lock(mutex);
        while (!frames.empty()) {
            const auto& front = frames.front();
            const bool due = !front || front->pts < 0 || front->pts <= clockUs;
            if (!due)
                break;
            if (front)
                taken = std::move(frames.front());
            frames.pop_front();
            popped = true;
        }
        if (!popped && force && !frames.empty()) {
            taken = std::move(frames.front());
            frames.pop_front();
            popped = true;
        }
        anyTaken = anyTaken || popped;
    }
    // Any room made must reach a producer waiting on a full queue, or it would sleep for good.
    if (popped)
        notFull.notify_one();
    return taken;
}

bool VideoFrameQueue::hasDue(int64_t clockUs, bool force, size_t& waiting) const
{
    std::lock_guard lock(mutex);
    waiting = frames.size();
    if (frames.empty())
        return false;
    const auto& front = frames.front();
    return force || !front || front->pts < 0 || front->pts <= clockUs;
}

bool VideoFrameQueue::firstPts(int64_t& pts) const
{
    std::lock_guard lock(mutex);
    pts = firstPushedPts;
    return anyPushed;
}

bool VideoFrameQueue::frontPts(int64_t& pts) const
{
    std::lock_guard lock(mutex);
    if (frames.empty() || !frames.front())
        return false;
    pts = frames.front()->pts;
    return true;
}

std::shared_ptr<VideoFrame> VideoFrameQueue::waitFirst(std::chrono::milliseconds timeout) const
{
    std::unique_lock lock(mutex);
    firstPushed.wait_for(lock, timeout, [this] { return anyPushed || aborted; });
    if (!anyPushed || anyTaken || frames.empty())
        return {};
    return frames.front();
}

void VideoFrameQueue::abort()
{
    {
        std::lock_guard lock(mutex);
        aborted = true;
    }
    notFull.notify_all();
    firstPushed.notify_all();
}

size_t VideoFrameQueue::size() const
{
    std::lock_guard lock(mutex);
    return frames.size();
}

} // namespace kvr::engine::internal
