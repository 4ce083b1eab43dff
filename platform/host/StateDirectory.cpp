// The host's state directory: where it is, and creating it.
#include "platform/host/StateDirectory.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/SystemError.h"
#include "platform/host/ErrnoMapping.h"

namespace kestrel::host {

std::string StateDirectory() {
    const char* own = std::getenv("KESTREL_STATE_DIR");
    if (own != nullptr && *own != '\0')
        return own;
    const char* xdg = std::getenv("XDG_STATE_HOME");
    if (xdg != nullptr && *xdg == '/')
        return std::string(xdg) + "/kestrel";
    const char* home = std::getenv("HOME");
    if (home == nullptr || *home == '\0') {
        const passwd* entry = getpwuid(getuid());
        home = entry != nullptr ? entry->pw_dir : "/tmp";
    }
    return std::string(home) + "/.local/state/kestrel";
}

std::uint32_t EnsureStateDirectory(const std::string& path) {
    if (path.empty())
        return kErrorPathNotFound;
    std::size_t pos = 0;
    for (;;) {
        pos = path.find('/', pos + 1);
        std::string part = path.substr(0, pos);
        if (!part.empty() && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST)
            return Win32ErrorFromErrno(errno);
        if (pos == std::string::npos)
            break;
    }
    struct stat info {};
    if (stat(path.c_str(), &info) != 0)
        return Win32ErrorFromErrno(errno);
    return S_ISDIR(info.st_mode) ? kErrorSuccess : kErrorPathNotFound;
}

}  // namespace kestrel::host
