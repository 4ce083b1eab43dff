// Positional reads and writes of a whole range of a file descriptor: short transfers are continued and
// EINTR retried. Host only (the image tool and its backend).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>

namespace kestrel::ntfsimage {

// False when the range could not be read whole (an error, or the end of the file before its end).
inline bool FullRead(int fd, std::int64_t offset, void* buffer, std::size_t length) {
    auto* p = static_cast<std::uint8_t*>(buffer);
    for (std::size_t done = 0; done < length;) {
        const ssize_t n = ::pread(fd, p + done, length - done, offset + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// False when the range could not be written whole.
inline bool FullWrite(int fd, std::int64_t offset, const void* buffer, std::size_t length) {
    const auto* p = static_cast<const std::uint8_t*>(buffer);
    for (std::size_t done = 0; done < length;) {
        const ssize_t n = ::pwrite(fd, p + done, length - done, offset + static_cast<std::int64_t>(done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace kestrel::ntfsimage
