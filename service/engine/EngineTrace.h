// Trace lines of the engine: formatted as into a buffer of 4,096 wide characters, so a line never
// exceeds 4,095 characters (a longer one is cut), then written to the trace stream.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/Format.h"
#include "platform/Trace.h"

namespace kestrel::engine {

inline constexpr std::size_t kTraceBufferChars = 4096;

inline void WriteTraceLine(std::wstring text) {
    if (text.size() > kTraceBufferChars - 1)
        text.resize(kTraceBufferChars - 1);
    trace::Write(text);
}

template <class... Args>
void EngineTrace(std::wstring_view format, const Args&... args) {
    WriteTraceLine(Format(format, args...));
}

}  // namespace kestrel::engine
