// Host trace sink: standard error, when asked for, as UTF-8, one line per write.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "common/Utf16.h"
#include "platform/Trace.h"

namespace kestrel::trace {
namespace {
std::atomic<int> g_stderr{-1};  // -1: not decided yet, read the environment

bool StandardErrorEnabled() {
    int state = g_stderr.load();
    if (state < 0) {
        const char* env = std::getenv("KESTREL_TRACE");
        state = (env != nullptr && std::strcmp(env, "0") != 0 && *env != '\0') ? 1 : 0;
        g_stderr.store(state);
    }
    return state == 1;
}

class StandardErrorSink : public TraceSink {
public:
    void Write(std::wstring_view line) override {
        if (!StandardErrorEnabled()) return;
        std::string text = ToUtf8(line);
        // Every write is one line; many are written without a line feed of their own (as the debugger
        // stream shows them one per call), and on a terminal they would run together.
        if (text.empty() || text.back() != '\n')
            text += '\n';
        std::lock_guard lock(mutex_);
        std::fwrite(text.data(), 1, text.size(), stderr);
        std::fflush(stderr);
    }

private:
    std::mutex mutex_;
};
}  // namespace

void EnableStandardError(bool on) { g_stderr.store(on ? 1 : 0); }

TraceSink& PlatformSink() {
    static StandardErrorSink sink;
    return sink;
}

}  // namespace kestrel::trace
