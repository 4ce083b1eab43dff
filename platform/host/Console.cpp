// Host console: UTF-8 on standard output.
#include <cstdio>
#include <mutex>
#include <string>

#include "common/Utf16.h"
#include "platform/Console.h"

namespace kestrel::console {

void WritePlatform(std::wstring_view text) {
    static std::mutex mutex;
    std::string bytes = ToUtf8(text);
    std::lock_guard lock(mutex);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

}  // namespace kestrel::console
