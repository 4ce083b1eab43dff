// Windows threads: the runtime library's thread start, so that the C runtime is set up for the thread.
#include <windows.h>
#include <process.h>

#include "platform/Thread.h"

namespace kestrel::threads {

struct Thread::Impl {
    HANDLE handle = nullptr;
    Procedure procedure;
    std::uint32_t exitCode = 0;
    bool joined = false;
};

namespace {
unsigned __stdcall Run(void* argument) {
    return (*static_cast<Thread::Procedure*>(argument))();
}
}  // namespace

Thread::Thread() = default;
Thread::~Thread() {
    Join();
    Close();
}

bool Thread::Start(Procedure procedure) {
    if (impl_)
        return false;
    auto impl = std::make_unique<Impl>();
    impl->procedure = std::move(procedure);
    uintptr_t handle = _beginthreadex(nullptr, 0, &Run, &impl->procedure, 0, nullptr);
    if (handle == 0)
        return false;
    impl->handle = reinterpret_cast<HANDLE>(handle);
    impl_ = std::move(impl);
    return true;
}

bool Thread::Started() const {
    return impl_ != nullptr;
}

void Thread::SetIdlePriority() {
    if (impl_ && impl_->handle != nullptr)
        SetThreadPriority(impl_->handle, THREAD_PRIORITY_IDLE);
}

void SetCurrentThreadIdlePriority() {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_IDLE);
}

void Thread::Join() {
    if (impl_ && impl_->handle != nullptr && !impl_->joined) {
        WaitForSingleObject(impl_->handle, INFINITE);
        DWORD code = 0;
        if (GetExitCodeThread(impl_->handle, &code))
            impl_->exitCode = code;
        impl_->joined = true;
    }
}

void Thread::Close() {
    if (impl_ && impl_->handle != nullptr && impl_->joined) {
        CloseHandle(impl_->handle);
        impl_->handle = nullptr;
    }
}

std::uint32_t Thread::ExitCode() const {
    return impl_ && impl_->joined ? impl_->exitCode : 0;
}

}  // namespace kestrel::threads
