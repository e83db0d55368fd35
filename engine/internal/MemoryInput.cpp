#include "engine/internal/MemoryInput.h"

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
}

#include <cstdio>
#include <cstring>

namespace kvr::engine::internal {

int memoryRead(void* opaque, uint8_t* buffer, int size)
{
    auto* in = static_cast<MemoryInput*>(opaque);
    if (in->position >= in->size)
        return AVERROR_EOF;
    if (size <= 0)
        return 0;
    const int64_t remaining = in->size - in->position;
    const int count = remaining < size ? static_cast<int>(remaining) : size;
    std::memcpy(buffer, in->data + in->position, static_cast<size_t>(count));
    in->position += count;
    return count;
}

int64_t memorySeek(void* opaque, int64_t offset, int whence)
{
    auto* in = static_cast<MemoryInput*>(opaque);
    if (whence & AVSEEK_SIZE)
        return in->size;
    int64_t base;
    switch (whence & ~AVSEEK_FORCE) {
    case SEEK_SET:
        base = 0;
        break;
    case SEEK_CUR:
        base = in->position;
        break;
    case SEEK_END:
        base = in->size;
        break;
    default:
        return -1;
    }
    int64_t result;
    if (__builtin_add_overflow(base, offset, &result) || result < 0 || result > in->size)
        return -1;
    in->position = result;
    return result;
}

} // namespace kvr::engine::internal
