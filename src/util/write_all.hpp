#pragma once
// Writes a whole buffer to a file descriptor, retrying after interrupted and partial writes. Errors
// end the write silently: the callers (logs, forwarded output) have nowhere to report them.
#include <unistd.h>

#include <cerrno>
#include <cstddef>

namespace gridlet::util {

inline void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;
        }
        data += n;
        size -= std::size_t(n);
    }
}

}  // namespace gridlet::util
