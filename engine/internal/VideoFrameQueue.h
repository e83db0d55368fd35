#pragma once

#include "engine/VideoFrame.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>

namespace kvr::engine::internal {

// Bounded queue of decoded pictures between the video decoding thread (the one producer, which blocks while the
// queue is full) and the paint path (the one consumer, which never blocks). Once aborted it accepts nothing more.
class VideoFrameQueue {
public:
    explicit VideoFrameQueue(size_t capacity);
    VideoFrameQueue(const VideoFrameQueue&) = delete;
    VideoFrameQueue& operator=(const VideoFrameQueue&) = delete;

    // Waits while the queue is full; false (the frame released) once the queue is aborted.
    bool push(std::shared_ptr<VideoFrame>&& frame);
    // Pops every picture that is due at clockUs (no picture, a negative pts, or pts <= clockUs) and returns the
    // newest of them; with nothing due and force set, the front picture. Empty when nothing was taken.
    std::shared_ptr<VideoFrame> takeDue(int64_t clockUs, bool force);
    // Whether takeDue would hand out a picture now, without taking it; `waiting` is set to the queue's size.
    bool hasDue(int64_t clockUs, bool force, size_t& waiting) const;
    // The pts of the first picture ever pushed (the picture an open at a position starts with); false before it.
    bool firstPts(int64_t& pts) const;
    // The pts of the picture takeDue would hand out next, so the paint can be asked for when it becomes due;
    // false when the queue is empty.
    bool frontPts(int64_t& pts) const;
    // The first picture ever pushed while it still waits in the queue, waiting up to `timeout` for it to be
    // pushed. Empty when it has been taken meanwhile, the queue was aborted, or the time ran out.
    std::shared_ptr<VideoFrame> waitFirst(std::chrono::milliseconds timeout) const;
    // Refuses every later push and wakes a producer waiting for room.
    void abort();

    size_t size() const;

private:
    mutable std::mutex mutex;
    std::condition_variable notFull;
    mutable std::condition_variable firstPushed;
    std::deque<std::shared_ptr<VideoFrame>> frames;
    size_t capacity;
    bool aborted = false;
    bool anyPushed = false;
    bool anyTaken = false;
    int64_t firstPushedPts = -1;
};

} // namespace kvr::engine::internal
