#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

namespace kvr::engine::internal {

// The interleaved float ring between the audio decoder (the one writer) and the render thread (the one reader).
// The writer blocks while the ring is full; closing it releases the writer, while the reader keeps draining what
// is buffered.
class AudioRingBuffer {
public:
    // Copies `count` samples in, waiting for room as needed. Returns the samples copied: fewer than `count`
    // only when the ring was closed. A ring without storage (not opened yet) blocks until it is closed.
    size_t write(const float* data, size_t count);
    // Closes the ring for writers and wakes them.
    void abort();
    // Samples (not frames) held.
    size_t buffered();

    // Gives the ring `capacity` zeroed samples and opens it; called by the device open.
    void reset(size_t capacity);
    // Moves up to `wanted` samples into `out`, fills the rest of `out` with zeros and wakes the writer. Returns
    // the samples taken. Allocates nothing.
    size_t read(float* out, size_t wanted);
    size_t capacity();

private:
    std::mutex mutex;
    std::condition_variable writers;
    std::vector<float> samples;
    size_t readIndex = 0;
    size_t writeIndex = 0;
    size_t fill = 0;
    bool closed = false;
};

} // namespace kvr::engine::internal
