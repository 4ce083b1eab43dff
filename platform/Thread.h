// Threads of the service: started with the runtime library's thread start, joined without a time limit,
// and, for work that may only use otherwise idle processor time, lowered to the idle priority.
//
// Windows: _beginthreadex, SetThreadPriority (THREAD_PRIORITY_IDLE), WaitForSingleObject, CloseHandle.
// Host: std::thread; the idle priority is the SCHED_IDLE policy of Linux (nice 19 where it is refused).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace kestrel::threads {

// One thread. Start, SetIdlePriority, Join and Close are called by the owning thread only; the procedure
// runs on the new thread. A Thread that was started must be joined before it is destroyed (the
// destructor joins one that was not, and closes it).
class Thread {
  public:
    using Procedure = std::function<std::uint32_t()>;

    Thread();
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts the procedure at once on a new thread with the default stack size. False when the thread
    // could not be created (the procedure then never runs).
    bool Start(Procedure procedure);
    bool Started() const;
    // Lowers the thread to idle priority. Failures are ignored: the thread keeps normal priority.
    void SetIdlePriority();
    // Waits without a time limit for the procedure to return. Does nothing when not started or joined.
    void Join();
    // Releases the thread's handle after Join (on Windows CloseHandle; nothing to release on the host).
    void Close();
    // The procedure's result once joined; 0 before.
    std::uint32_t ExitCode() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Lowers the calling thread to idle priority: THREAD_PRIORITY_IDLE (-15) on Windows, where a thread it
// starts later begins at normal priority again. Linux threads inherit their creator's policy and an
// unprivileged thread cannot leave SCHED_IDLE, so lowering a thread there would lower every thread it
// starts (a service's command thread starts the watchers' threads); the host therefore leaves the calling
// thread as it is. Failures are ignored.
void SetCurrentThreadIdlePriority();

}  // namespace kestrel::threads
