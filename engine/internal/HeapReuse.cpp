#include "engine/internal/HeapReuse.h"

#include <malloc.h>

#include <atomic>
#include <mutex>

namespace kvr::engine::internal {

namespace {

std::once_flag policySet;
std::atomic<bool> keeping { false };

} // namespace

void keepFreedMemoryForReuse()
{
    std::call_once(policySet, [] {
        // Picture buffers come from the heap rather than from mappings of their own (which go back to the system
        // the moment they are freed), up to the largest threshold the library takes; the heap is not trimmed
        // behind our back.
        mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
        mallopt(M_TRIM_THRESHOLD, 1024 * 1024 * 1024);
        keeping = true;
    });
}

void returnFreedMemory()
{
    if (keeping.load())
        malloc_trim(0);
}

} // namespace kvr::engine::internal
