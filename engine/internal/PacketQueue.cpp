#include "engine/internal/PacketQueue.h"

namespace kvr::engine::internal {

PacketQueue::PacketQueue(size_t capacity)
    : capacity(capacity)
{
}

PacketQueue::~PacketQueue()
{
    for (AVPacket* p : packets)
        av_packet_free(&p);
}

void PacketQueue::linkSiblings(PacketQueue& a, PacketQueue& b, size_t overflowBytes)
{
    // Set before the read thread starts; never changed afterwards.
    a.sibling = &b;
    b.sibling = &a;
    a.overflowBytes = overflowBytes;
    b.overflowBytes = overflowBytes;
}

bool PacketQueue::siblingStarving() const
{
    return sibling && !sibling->closedFlag.load() && sibling->queuedCount.load() == 0;
}

bool PacketQueue::push(AVPacket* packet)
{
    std::unique_lock<std::mutex> lock(mutex);
    const size_t size = packet ? static_cast<size_t>(packet->size > 0 ? packet->size : 0) : 0;
    notFull.wait(lock, [&] {
        if (closed || packets.size() < capacity)
            return true;
        return siblingStarving() && queuedBytes + size <= overflowBytes;
    });
    if (closed)
        return false;
    packets.push_back(packet);
    queuedBytes += size;
    queuedCount.store(packets.size());
    lock.unlock();
    notEmpty.notify_one();
    return true;
}

bool PacketQueue::pop(AVPacket*& packet)
{
    std::unique_lock<std::mutex> lock(mutex);
    notEmpty.wait(lock, [&] { return closed || !packets.empty(); });
    if (packets.empty())
        return false;
    packet = packets.front();
    packets.pop_front();
    const size_t size = packet && packet->size > 0 ? static_cast<size_t>(packet->size) : 0;
    queuedBytes -= size <= queuedBytes ? size : queuedBytes;
    queuedCount.store(packets.size());
    const bool nowEmpty = packets.empty() && !closed;
    lock.unlock();
    notFull.notify_one();
    // This decoder may now be starving while the read thread waits on the other, full queue.
    if (nowEmpty && sibling)
        sibling->wakeProducer();
    return true;
}

void PacketQueue::wakeProducer()
{
    // Taking the mutex orders this wake-up after the producer's last look at our count, so it cannot be lost.
    {
        std::lock_guard<std::mutex> lock(mutex);
    }
    notFull.notify_all();
}

void PacketQueue::close()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        closed = true;
        closedFlag.store(true);
    }
    notFull.notify_all();
    notEmpty.notify_all();
}

size_t PacketQueue::size() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return packets.size();
}

size_t PacketQueue::bytes() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return queuedBytes;
}

bool PacketQueue::isClosed() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return closed;
}

} // namespace kvr::engine::internal
