#include "engine/FileWrite.h"

#include <cerrno>
#include <unistd.h>

namespace kvr::engine {

bool writeFully(int fd, std::string_view text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace kvr::engine
