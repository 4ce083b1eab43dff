// Windows trace sink: the debugger output stream.
#include <windows.h>

#include <string>

#include "platform/Trace.h"

namespace kestrel::trace {
namespace {
class DebuggerSink : public TraceSink {
public:
    void Write(std::wstring_view line) override {
        std::wstring text(line);  // OutputDebugStringW needs a terminated string
        OutputDebugStringW(text.c_str());
    }
};
}  // namespace

void EnableStandardError(bool) {}

TraceSink& PlatformSink() {
    static DebuggerSink sink;
    return sink;
}

}  // namespace kestrel::trace
