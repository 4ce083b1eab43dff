// The trace stream: one line at a time to the debugger output (OutputDebugStringW on Windows; on the
// host, standard error when enabled). Tests install a capture sink to assert the exact texts.
#pragma once

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kestrel::trace {

class TraceSink {
public:
    virtual ~TraceSink() = default;
    // Receives one line exactly as written (usually ending in "\n"). Called from any thread.
    virtual void Write(std::wstring_view line) = 0;
};

// Writes one line to the current sink. Thread-safe.
void Write(std::wstring_view line);

// The platform's own sink (debugger stream / host standard error).
TraceSink& PlatformSink();

// Host only: copy trace lines to standard error (also switched on by the environment variable
// KESTREL_TRACE=1). Does nothing on Windows, where a debugger or DebugView reads the stream.
void EnableStandardError(bool on);

// Replaces the current sink while it lives; the previous sink comes back on destruction.
class ScopedSink {
public:
    explicit ScopedSink(TraceSink& sink);
    ~ScopedSink();
    ScopedSink(const ScopedSink&) = delete;
    ScopedSink& operator=(const ScopedSink&) = delete;

private:
    TraceSink* previous_;
};

// Collects lines in memory; thread-safe.
class CaptureSink : public TraceSink {
public:
    void Write(std::wstring_view line) override;
    std::vector<std::wstring> Lines() const;
    bool Contains(std::wstring_view line) const;  // an exact line
    void Clear();

private:
    mutable std::mutex mutex_;
    std::vector<std::wstring> lines_;
};

// Captures every trace line written while it lives.
class ScopedCapture : public CaptureSink {
public:
    ScopedCapture() : scope_(*this) {}

private:
    ScopedSink scope_;
};

}  // namespace kestrel::trace
