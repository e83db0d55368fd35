#pragma once

#include <cstddef>

namespace kvr::engine {

// printf into buf, always in the C locale (filter texts must never get a decimal comma). Returns the length the
// whole text needs, or -1 on a format error. Writes at most size - 1 characters plus a NUL when size > 0, and
// nothing when size is 0.
int formatToBuffer(char* buf, std::size_t size, const char* format, ...) __attribute__((format(printf, 3, 4)));

} // namespace kvr::engine
