// Windows implementation of events and semaphores: kernel objects.
#include <windows.h>

#include <vector>

#include "platform/Time.h"
#include "platform/win32/Win32Handle.h"

namespace kestrel::timing {

struct Waitable::Impl {
    win32::KernelHandle handle;
};

namespace {
std::shared_ptr<Waitable::Impl> Wrap(HANDLE h) {
    if (h == nullptr) return nullptr;
    auto impl = std::make_shared<Waitable::Impl>();
    impl->handle.reset(h);
    return impl;
}
}  // namespace

void Sleep(Millis nominal) { ::Sleep(Scaled(nominal)); }

std::uint64_t NowMs() { return GetTickCount64(); }

Waitable::Waitable(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
Waitable::~Waitable() = default;
bool Waitable::valid() const { return impl_ != nullptr; }
bool Waitable::Wait(Millis nominalTimeout) { return WaitAny({this}, nominalTimeout) == 0; }

Event::Event(bool manualReset, bool initiallySet, const std::wstring& name)
    : Waitable(Wrap(CreateEventW(nullptr, manualReset ? TRUE : FALSE, initiallySet ? TRUE : FALSE,
                                 name.empty() ? nullptr : name.c_str()))) {}

void Event::Set() {
    if (impl_) SetEvent(impl_->handle.get());
}

void Event::Reset() {
    if (impl_) ResetEvent(impl_->handle.get());
}

bool Event::IsSet() const { return impl_ && WaitForSingleObject(impl_->handle.get(), 0) == WAIT_OBJECT_0; }

Semaphore::Semaphore(std::int32_t initialCount, std::int32_t maximumCount)
    : Waitable(Wrap(CreateSemaphoreW(nullptr, initialCount, maximumCount, nullptr))) {}

bool Semaphore::Release(std::int32_t count) {
    return impl_ && ReleaseSemaphore(impl_->handle.get(), count, nullptr) != FALSE;
}

namespace {
int WaitHandles(const std::vector<HANDLE>& handles, Millis nominalTimeout, bool alertable) {
    if (handles.empty() || handles.size() > MAXIMUM_WAIT_OBJECTS) return kWaitFailed;
    DWORD result = WaitForMultipleObjectsEx(static_cast<DWORD>(handles.size()), handles.data(), FALSE,
                                            Scaled(nominalTimeout), alertable ? TRUE : FALSE);
    if (result == WAIT_TIMEOUT) return kWaitTimeout;
    if (result == WAIT_IO_COMPLETION) return kWaitIoCompletion;
    if (result >= WAIT_OBJECT_0 && result < WAIT_OBJECT_0 + handles.size()) {
        return static_cast<int>(result - WAIT_OBJECT_0);
    }
    return kWaitFailed;
}

}  // namespace

int WaitAny(std::initializer_list<Waitable*> objects, Millis nominalTimeout) {
    std::vector<HANDLE> handles;
    handles.reserve(objects.size());
    for (Waitable* w : objects) {
        if (w == nullptr || !w->impl_) return kWaitFailed;
        handles.push_back(w->impl_->handle.get());
    }
    return WaitHandles(handles, nominalTimeout, false);
}

int WaitAnyAlertable(std::initializer_list<Waitable*> objects, Millis nominalTimeout) {
    std::vector<HANDLE> handles;
    handles.reserve(objects.size());
    for (Waitable* w : objects) {
        if (w == nullptr || !w->impl_) return kWaitFailed;
        handles.push_back(w->impl_->handle.get());
    }
    return WaitHandles(handles, nominalTimeout, true);
}

}  // namespace kestrel::timing
