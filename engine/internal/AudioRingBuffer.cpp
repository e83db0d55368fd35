#include "engine/internal/AudioRingBuffer.h"

#include <algorithm>
#include <cstring>

namespace kvr::engine::internal {

size_t AudioRingBuffer::write(const float* data, size_t count)
{
    if (!data)
        return 0;
    std::unique_lock<std::mutex> lock(mutex);
    size_t done = 0;
    while (done < count) {
        if (closed)
            break;
        const size_t capacity = samples.size();
        const size_t space = capacity - fill;
        if (space == 0) {
            writers.wait(lock);
            continue;
        }
        size_t n = std::min(space, count - done);
        // At most two pieces: up to the end of the storage, then from its start.
        const size_t first = std::min(n, capacity - writeIndex);
        std::memcpy(samples.data() + writeIndex, data + done, first * sizeof(float));
        if (n > first)
            std::memcpy(samples.data(), data + done + first, (n - first) * sizeof(float));
        writeIndex = (writeIndex + n) % capacity;
        fill += n;
        done += n;
    }
    return done;
}

void AudioRingBuffer::abort()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
    }
    writers.notify_all();
}

size_t AudioRingBuffer::buffered()
{
    std::lock_guard<std::mutex> lock(mutex);
    return fill;
}

void AudioRingBuffer::reset(size_t capacity)
{
    std::unique_lock<std::mutex> lock(mutex);
    samples.assign(capacity, 0.0f);
    readIndex = 0;
    writeIndex = 0;
    fill = 0;
    closed = false;
    writers.notify_all();
}

size_t AudioRingBuffer::read(float* out, size_t wanted)
{
    size_t taken = 0;
    {
        std::lock_guard<std::mutex> lock(mutex);
        taken = std::min(wanted, fill);
        if (taken > 0) {
            const size_t capacity = samples.size();
            const size_t first = std::min(taken, capacity - readIndex);
            std::memcpy(out, samples.data() + readIndex, first * sizeof(float));
            if (taken > first)
                std::memcpy(out + first, samples.data(), (taken - first) * sizeof(float));
            readIndex = (readIndex + taken) % capacity;
            fill -= taken;
        }
    }
    if (wanted > taken)
        std::memset(out + taken, 0, (wanted - taken) * sizeof(float));
    writers.notify_one();
    return taken;
}

size_t AudioRingBuffer::capacity()
{
    std::lock_guard<std::mutex> lock(mutex);
    return samples.size();
}

} // namespace kvr::engine::internal
