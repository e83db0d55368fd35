#pragma once

#include <cstdint>

namespace kvr::engine::internal {

// A read-only byte range that FFmpeg reads through a custom I/O context.
struct MemoryInput {
    const uint8_t* data = nullptr;
    int64_t size = 0;
    int64_t position = 0;
};

// AVIOContext read callback over a MemoryInput: at most `size` bytes, AVERROR_EOF at the end.
int memoryRead(void* opaque, uint8_t* buffer, int size);

// AVIOContext seek callback over a MemoryInput: AVSEEK_SIZE gives the length; SEEK_SET, SEEK_CUR and SEEK_END
// (AVSEEK_FORCE ignored) move within [0, size]; anything else, an overflow or a result outside returns -1 and
// leaves the position alone.
int64_t memorySeek(void* opaque, int64_t offset, int whence);

} // namespace kvr::engine::internal
