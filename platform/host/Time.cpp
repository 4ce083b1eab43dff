// Host implementation of events and semaphores over the standard primitives. All waitable objects share
// one mutex: signals are rare and waiters few, and a single lock makes WaitAny over several objects
// simple and free of lost wake-ups. Each waiting thread has a condition variable of its own, listed with
// every object it waits on, so that a signal wakes only the threads waiting on that object, and setting
// an event that is already set wakes nobody: an idle service's threads run only when their own objects
// are signalled or their own time-outs pass.
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/Time.h"
#include "platform/host/EventDescriptor.h"

namespace kestrel::timing {

// A thread inside WaitAny.
struct Waiter {
    std::condition_variable changed;
};

struct Waitable::Impl {
    enum class Kind { ManualEvent, AutoEvent, Semaphore } kind;
    std::vector<Waiter*> waiters;  // the threads in WaitAny on this object
    std::int64_t count = 0;  // events: 0 or 1
    std::int64_t maximum = 1;
    // The eventfd of EventDescriptor, once asked for: it holds a count of 1 exactly while count > 0.
    int descriptor = -1;
    bool descriptorSet = false;

    ~Impl() {
        if (descriptor >= 0) close(descriptor);
    }
    // Wakes the threads waiting on this object; call with g_mutex held.
    void Notify() {
        for (Waiter* waiter : waiters) waiter->changed.notify_one();
    }
    // Brings the descriptor in line with the count; call with g_mutex held after every change of it.
    void Mirror() {
        if (descriptor < 0 || descriptorSet == (count > 0)) return;
        std::uint64_t value = 1;
        const bool done = count > 0 ? write(descriptor, &value, sizeof value) == sizeof value
                                    : read(descriptor, &value, sizeof value) == sizeof value;
        if (done) descriptorSet = count > 0;
    }
};

struct WaitableAccess {
    static Waitable::Impl* Of(Waitable& object) { return object.impl_.get(); }
};

namespace {
std::mutex g_mutex;

// Named events live as long as any Event of that name does.
std::map<std::wstring, std::weak_ptr<Waitable::Impl>>& NamedEvents() {
    static std::map<std::wstring, std::weak_ptr<Waitable::Impl>> events;
    return events;
}

// Consumes the signal of a ready object; call with g_mutex held.
bool TryTake(Waitable::Impl& impl) {
    if (impl.count <= 0) return false;
    if (impl.kind != Waitable::Impl::Kind::ManualEvent) {
        --impl.count;
        impl.Mirror();
    }
    return true;
}

std::shared_ptr<Waitable::Impl> MakeEvent(bool manualReset, bool initiallySet, const std::wstring& name) {
    std::lock_guard lock(g_mutex);
    if (!name.empty()) {
        if (auto existing = NamedEvents()[name].lock()) return existing;
    }
    auto impl = std::make_shared<Waitable::Impl>();
    impl->kind = manualReset ? Waitable::Impl::Kind::ManualEvent : Waitable::Impl::Kind::AutoEvent;
    impl->count = initiallySet ? 1 : 0;
    if (!name.empty()) NamedEvents()[name] = impl;
    return impl;
}

std::shared_ptr<Waitable::Impl> MakeSemaphore(std::int32_t initial, std::int32_t maximum) {
    if (maximum <= 0 || initial < 0 || initial > maximum) return nullptr;
    auto impl = std::make_shared<Waitable::Impl>();
    impl->kind = Waitable::Impl::Kind::Semaphore;
    impl->count = initial;
    impl->maximum = maximum;
    return impl;
}
}  // namespace

void Sleep(Millis nominal) {
    if (nominal == kInfinite) {
        for (;;) std::this_thread::sleep_for(std::chrono::hours(24));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(Scaled(nominal)));
}

std::uint64_t NowMs() {
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

Waitable::Waitable(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
Waitable::~Waitable() = default;
bool Waitable::valid() const { return impl_ != nullptr; }
bool Waitable::Wait(Millis nominalTimeout) { return WaitAny({this}, nominalTimeout) == 0; }

Event::Event(bool manualReset, bool initiallySet, const std::wstring& name)
    : Waitable(MakeEvent(manualReset, initiallySet, name)) {}

void Event::Set() {
    std::lock_guard lock(g_mutex);
    if (impl_->count == 1) return;  // already set: nothing changes, nobody needs waking
    impl_->count = 1;
    impl_->Mirror();
    impl_->Notify();
}

void Event::Reset() {
    std::lock_guard lock(g_mutex);
    impl_->count = 0;
    impl_->Mirror();
}

bool Event::IsSet() const {
    std::lock_guard lock(g_mutex);
    return impl_->count > 0;
}

Semaphore::Semaphore(std::int32_t initialCount, std::int32_t maximumCount)
    : Waitable(MakeSemaphore(initialCount, maximumCount)) {}

bool Semaphore::Release(std::int32_t count) {
    if (!impl_ || count <= 0) return false;
    std::lock_guard lock(g_mutex);
    if (impl_->count + count > impl_->maximum) return false;
    impl_->count += count;
    impl_->Mirror();
    impl_->Notify();
    return true;
}

int WaitAny(std::initializer_list<Waitable*> objects, Millis nominalTimeout) {
    if (objects.size() == 0) return kWaitFailed;
    for (Waitable* w : objects) {
        if (w == nullptr || !w->impl_) return kWaitFailed;
    }
    const Millis timeout = Scaled(nominalTimeout);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout);
    Waiter self;
    std::unique_lock lock(g_mutex);
    auto take = [&]() {
        int index = 0;
        for (Waitable* w : objects) {
            if (TryTake(*w->impl_)) return index;
            ++index;
        }
        return kWaitTimeout;
    };
    int result = take();
    if (result != kWaitTimeout || timeout == 0) return result;
    for (Waitable* w : objects) w->impl_->waiters.push_back(&self);
    for (;;) {
        if (timeout == kInfinite) {
            self.changed.wait(lock);
        } else if (self.changed.wait_until(lock, deadline) == std::cv_status::timeout) {
            result = take();
            break;
        }
        result = take();
        if (result != kWaitTimeout) break;
    }
    for (Waitable* w : objects) {
        auto& list = w->impl_->waiters;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (*it == &self) {
                list.erase(it);
                break;
            }
        }
    }
    return result;
}

int EventDescriptor(Waitable& object) {
    Waitable::Impl* impl = WaitableAccess::Of(object);
    if (impl == nullptr) return -1;
    std::lock_guard lock(g_mutex);
    if (impl->descriptor < 0) {
        impl->descriptor = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        impl->descriptorSet = false;
        impl->Mirror();
    }
    return impl->descriptor;
}

int WaitAnyAlertable(std::initializer_list<Waitable*> objects, Millis nominalTimeout) {
    return WaitAny(objects, nominalTimeout);
}

}  // namespace kestrel::timing
