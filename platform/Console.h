// The console of the service process: a few progress lines go to standard output (written as the text
// stands, no line end added). Windows: the console (WriteConsoleW) or, when redirected, the bytes in the
// console's code page; host: UTF-8 on standard output. Tests install a capture sink to assert the texts.
#pragma once

#include <string_view>

#include "platform/Trace.h"

namespace kestrel::console {

// Writes text to the current console sink. Thread-safe.
void Write(std::wstring_view text);

// Writes text to the process's own standard output, whatever sink is installed. Thread-safe.
void WritePlatform(std::wstring_view text);

// Replaces the console sink while it lives (any trace::TraceSink, e.g. a trace::CaptureSink).
class ScopedSink {
  public:
    explicit ScopedSink(trace::TraceSink& sink);
    ~ScopedSink();
    ScopedSink(const ScopedSink&) = delete;
    ScopedSink& operator=(const ScopedSink&) = delete;

  private:
    trace::TraceSink* previous_;
};

// Captures every console text written while it lives.
class ScopedCapture : public trace::CaptureSink {
  public:
    ScopedCapture() : scope_(*this) {}

  private:
    ScopedSink scope_;
};

}  // namespace kestrel::console
