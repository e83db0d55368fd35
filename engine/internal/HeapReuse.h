#pragma once

namespace kvr::engine::internal {

// A seek rebuilds the decoders, and the pictures' buffers of the new decoder are as large as those the old one
// just freed. By default the C library hands such freed memory back to the system and the new decoder then
// faults every page in again, which costs more than the seek's own decoding on a busy machine. Once a video
// decoder opens, freed memory is kept in the heap for reuse; whoever ends a medium (close, a new file) hands it
// back with `returnFreedMemory`.
void keepFreedMemoryForReuse();
void returnFreedMemory();

} // namespace kvr::engine::internal
