#pragma once

extern "C" {
#include <libavcodec/packet.h>
}

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

namespace kvr::engine::internal {

// Bounded first-in first-out queue of packets between the demuxer's read thread (the one producer) and one
// decoding thread (the one consumer). The queue owns the packets it holds. Once closed it accepts nothing more
// but still hands out what it holds.
class PacketQueue {
public:
    explicit PacketQueue(size_t capacity);
    ~PacketQueue();
    PacketQueue(const PacketQueue&) = delete;
    PacketQueue& operator=(const PacketQueue&) = delete;

    // Waits while the queue is full; false once the queue is closed, and the caller still owns the packet.
    bool push(AVPacket* packet);
    // Waits while the queue is empty and open; false only when it is empty and closed.
    bool pop(AVPacket*& packet);
    void close();

    // Ties the audio and video queues together so that reading can never deadlock: while one queue is open
    // and empty its decoder is starving, and the other queue may then grow past its capacity up to
    // `overflowBytes` of packet data. (The video decoder waits for the audio clock, so a file whose audio
    // starts seconds after its video would otherwise fill the video queue and stop everything.)
    static void linkSiblings(PacketQueue& a, PacketQueue& b, size_t overflowBytes);

    size_t size() const;
    size_t bytes() const;
    bool isClosed() const;

private:
    bool siblingStarving() const;
    void wakeProducer();

    mutable std::mutex mutex;
    std::condition_variable notFull;
    std::condition_variable notEmpty;
    std::deque<AVPacket*> packets;
    size_t capacity;
    bool closed = false;

    // Mirrors of the guarded state, readable by the sibling without taking this queue's mutex.
    std::atomic<size_t> queuedCount { 0 };
    std::atomic<bool> closedFlag { false };
    size_t queuedBytes = 0;
    PacketQueue* sibling = nullptr;
    size_t overflowBytes = 0;
};

} // namespace kvr::engine::internal
