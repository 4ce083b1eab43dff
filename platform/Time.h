// Time and waiting: events, a counting semaphore, waits with time-out, sleep and a monotonic clock.
//
// Every duration passed here is a nominal one (the value the system documents: 1 s polls, 30 s rests,
// 100 ms samples ...). It is divided by the process-wide time divisor before use, which is 1 in the
// programs and larger in tests, so that real threads can run with time scaled down.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <string>

namespace kestrel::timing {

using Millis = std::uint32_t;
inline constexpr Millis kInfinite = 0xFFFFFFFF;
inline constexpr int kWaitTimeout = -1;
inline constexpr int kWaitFailed = -2;
// Returned by WaitAnyAlertable when a queued I/O completion ran on the waiting thread.
inline constexpr int kWaitIoCompletion = -3;

// Sets the divisor applied to every nominal duration (1 = real time). Thread-safe.
void SetTimeDivisor(std::uint32_t divisor);
std::uint32_t TimeDivisor();
// A nominal duration as really waited: kInfinite stays infinite; a nonzero duration stays nonzero.
Millis Scaled(Millis nominal);

// Sleeps for a nominal duration.
void Sleep(Millis nominal);

// Milliseconds on a monotonic clock (real, unscaled).
std::uint64_t NowMs();

// Seconds since 1 January 1970 (UTC) on the process's scaled clock: the first call reads the real
// clock; from then on the time runs faster by the time divisor in force, so that a rest measured in these
// seconds (a 30-second rest, say) is as short as the scaled waits around it. Never goes backwards.
// Thread-safe. With a divisor of 1 it is the real time.
std::int64_t UnixTime();

// Anything a thread can wait on. Objects may be shared between threads; all methods are thread-safe.
class Waitable {
public:
    struct Impl;
    virtual ~Waitable();
    // Waits until signalled or the nominal time-out passes; true when signalled (and, for an
    // auto-reset event or a semaphore, consumed).
    bool Wait(Millis nominalTimeout);
    // False when the object could not be created; it then never becomes signalled.
    bool valid() const;

protected:
    explicit Waitable(std::shared_ptr<Impl> impl);
    std::shared_ptr<Impl> impl_;
    friend int WaitAny(std::initializer_list<Waitable*>, Millis);
    friend int WaitAnyAlertable(std::initializer_list<Waitable*>, Millis);
    friend struct WaitableAccess;  // a platform's adapters that wait on the object with their own calls
};

class Event : public Waitable {
public:
    // A named event is shared with every other Event of the same name (on Windows, across processes).
    Event(bool manualReset, bool initiallySet, const std::wstring& name = {});
    void Set();
    void Reset();
    bool IsSet() const;  // without consuming an auto-reset signal
};

class Semaphore : public Waitable {
public:
    Semaphore(std::int32_t initialCount, std::int32_t maximumCount);
    // Adds to the count; false (and no change) when that would pass the maximum.
    bool Release(std::int32_t count = 1);
};

// Waits until any of the objects is signalled. Returns the index of the first signalled one (consuming
// it as Wait does), kWaitTimeout after the nominal time-out, kWaitFailed for an invalid object.
int WaitAny(std::initializer_list<Waitable*> objects, Millis nominalTimeout);

// WaitAny that lets the I/O completions queued to the calling thread run meanwhile (on Windows an
// alertable wait, which runs completion routines such as those of ReadDirectoryChangesW). Returns
// kWaitIoCompletion when one or more ran before any object was signalled. The host has no such queue
// and waits exactly as WaitAny does.
int WaitAnyAlertable(std::initializer_list<Waitable*> objects, Millis nominalTimeout);

// Restores the divisor on destruction; for tests.
class ScopedTimeDivisor {
public:
    explicit ScopedTimeDivisor(std::uint32_t divisor) : previous_(TimeDivisor()) { SetTimeDivisor(divisor); }
    ~ScopedTimeDivisor() { SetTimeDivisor(previous_); }
    ScopedTimeDivisor(const ScopedTimeDivisor&) = delete;
    ScopedTimeDivisor& operator=(const ScopedTimeDivisor&) = delete;

private:
    std::uint32_t previous_;
};

}  // namespace kestrel::timing
