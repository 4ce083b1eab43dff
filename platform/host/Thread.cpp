// Host threads: std::thread. The idle priority needs the thread's kernel id, which the new thread
// publishes before it runs its procedure.
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "platform/Thread.h"

namespace kestrel::threads {

struct Thread::Impl {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable ready;
    pid_t tid = 0;
    std::uint32_t exitCode = 0;
    bool joined = false;
};

Thread::Thread() = default;
Thread::~Thread() {
    Join();
    Close();
}

bool Thread::Start(Procedure procedure) {
    if (impl_)
        return false;
    auto impl = std::make_unique<Impl>();
    Impl* raw = impl.get();
    try {
        raw->thread = std::thread([raw, procedure = std::move(procedure)] {
            {
                std::lock_guard lock(raw->mutex);
                raw->tid = static_cast<pid_t>(syscall(SYS_gettid));
            }
            raw->ready.notify_all();
            raw->exitCode = procedure();
        });
    } catch (...) {
        return false;
    }
    impl_ = std::move(impl);
    return true;
}

bool Thread::Started() const {
    return impl_ != nullptr;
}

void Thread::SetIdlePriority() {
    if (!impl_)
        return;
    pid_t tid;
    {
        std::unique_lock lock(impl_->mutex);
        impl_->ready.wait(lock, [this] { return impl_->tid != 0; });
        tid = impl_->tid;
    }
    sched_param param{};
    if (sched_setscheduler(tid, SCHED_IDLE, &param) != 0)
        setpriority(PRIO_PROCESS, static_cast<id_t>(tid), 19);
}

void SetCurrentThreadIdlePriority() {
    // Deliberately nothing: see platform/Thread.h.
}

void Thread::Join() {
    if (impl_ && !impl_->joined && impl_->thread.joinable()) {
        impl_->thread.join();
        impl_->joined = true;
    }
}

void Thread::Close() {}

std::uint32_t Thread::ExitCode() const {
    return impl_ && impl_->joined ? impl_->exitCode : 0;
}

}  // namespace kestrel::threads
