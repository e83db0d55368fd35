#pragma once

#include <string_view>

namespace kvr::engine {

// Writes all of text to fd, retrying short writes and EINTR. A line written with one call on an O_APPEND file
// never interleaves with other writers' lines.
bool writeFully(int fd, std::string_view text);

} // namespace kvr::engine
