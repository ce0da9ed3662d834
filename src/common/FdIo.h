#pragma once
// Writing a whole buffer to a file descriptor, retrying short writes and
// interrupted calls.

#include <cerrno>
#include <unistd.h>

namespace dozorix {

// True when every byte was written; false with *error = errno otherwise.
inline bool writeAllToFd(int fd, const char *data, long long size, int *error = nullptr)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(size));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (error)
                *error = errno;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

} // namespace dozorix
