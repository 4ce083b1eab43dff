#include "platform/ScriptedChangeNotification.h"

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>

#include "common/Utf16.h"
#include "platform/FsRecords.h"

namespace kestrel::notify {

std::vector<std::uint8_t> MakeNotifyBatch(
    const std::vector<std::pair<std::uint32_t, std::wstring>>& records) {
    constexpr std::size_t kHeader = offsetof(fs::FILE_NOTIFY_INFORMATION, FileName);
    std::vector<std::uint8_t> bytes;
    std::size_t previous = 0;
    for (std::size_t i = 0; i < records.size(); ++i) {
        const std::u16string name = ToUtf16(records[i].second);
        const std::size_t start = (bytes.size() + 3) & ~std::size_t{3};
        if (i > 0) {
            const auto next = static_cast<std::uint32_t>(start - previous);
            std::memcpy(bytes.data() + previous, &next, 4);
        }
        bytes.resize(start + kHeader + name.size() * 2, 0);
        const std::uint32_t action = records[i].first;
        const auto length = static_cast<std::uint32_t>(name.size() * 2);
        std::memcpy(bytes.data() + start + 4, &action, 4);
        std::memcpy(bytes.data() + start + 8, &length, 4);
        std::memcpy(bytes.data() + start + kHeader, name.data(), name.size() * 2);
        previous = start;
    }
    return bytes;
}

struct ScriptedChangeNotification::State {
    struct Batch {
        std::vector<std::uint8_t> bytes;
        std::uint32_t error;
    };
    struct Root {
        std::deque<Batch> batches;
        timing::Semaphore queued{0, 1 << 30};
        bool opens = false;
        std::uint64_t opened = 0;    // watches opened on the root so far
        std::uint64_t detached = 0;  // watches numbered below this one are cut off
        std::uint32_t detachError = 0;
        std::size_t reading = 0;  // Reads outstanding on the root's watches
    };
    mutable std::mutex mutex;
    mutable std::condition_variable deliveredChanged;
    std::map<std::wstring, std::unique_ptr<Root>> roots;
    std::function<void()> beforeDelivery;
    std::size_t delivered = 0;
    std::size_t open = 0;
};

namespace {

class ScriptedWatch : public DirectoryWatch {
  public:
    using State = ScriptedChangeNotification::State;
    ScriptedWatch(std::shared_ptr<State> state, State::Root& root, std::intptr_t value, std::uint64_t number)
        : state_(std::move(state)), root_(root), value_(value), number_(number) {}
    ~ScriptedWatch() override {
        std::lock_guard lock(state_->mutex);
        --state_->open;
        if (handler_ != nullptr)
            --root_.reading;
    }

    std::intptr_t Value() const override { return value_; }

    std::uint32_t Read(void* buffer, std::uint32_t size, BatchHandler& handler) override {
        if (handler_ != nullptr)
            return kErrorInvalidFunction;
        std::lock_guard lock(state_->mutex);
        if (number_ < root_.detached)
            return root_.detachError;
        buffer_ = buffer;
        size_ = size;
        handler_ = &handler;
        ++root_.reading;
        state_->deliveredChanged.notify_all();
        return 0;
    }

    WaitResult Wait(timing::Event& stop) override {
        for (;;) {
            if (stop.IsSet())
                return WaitResult::Stopped;
            if (handler_ != nullptr) {
                std::unique_lock lock(state_->mutex);
                if (number_ < root_.detached) {
                    const std::uint32_t error = root_.detachError;
                    --root_.reading;
                    lock.unlock();
                    std::exchange(handler_, nullptr)->OnBatch(error, 0);
                    return WaitResult::Completed;
                }
                if (!root_.batches.empty()) {
                    State::Batch batch = std::move(root_.batches.front());
                    root_.batches.pop_front();
                    --root_.reading;
                    std::function<void()> hook = state_->beforeDelivery;
                    lock.unlock();
                    std::uint32_t bytes = static_cast<std::uint32_t>(batch.bytes.size());
                    std::uint32_t error = batch.error;
                    if (bytes > size_) {
                        bytes = 0;
                        error = kErrorNotifyEnumDir;
                    } else if (bytes > 0) {
                        std::memcpy(buffer_, batch.bytes.data(), bytes);
                    }
                    BatchHandler* handler = std::exchange(handler_, nullptr);
                    if (hook)
                        hook();
                    handler->OnBatch(error, bytes);
                    lock.lock();
                    ++state_->delivered;
                    state_->deliveredChanged.notify_all();
                    return WaitResult::Completed;
                }
            }
            if (timing::WaitAny({&stop, &root_.queued}, timing::kInfinite) == 0)
                return WaitResult::Stopped;
        }
    }

  private:
    std::shared_ptr<State> state_;
    State::Root& root_;
    std::intptr_t value_;
    std::uint64_t number_;
    void* buffer_ = nullptr;
    std::uint32_t size_ = 0;
    BatchHandler* handler_ = nullptr;
};

}  // namespace

ScriptedChangeNotification::ScriptedChangeNotification() : state_(std::make_shared<State>()) {}
ScriptedChangeNotification::~ScriptedChangeNotification() = default;

void ScriptedChangeNotification::AddRoot(const std::wstring& root) {
    std::lock_guard lock(state_->mutex);
    auto& slot = state_->roots[root];
    if (!slot)
        slot = std::make_unique<State::Root>();
    slot->opens = true;
}

void ScriptedChangeNotification::Push(const std::wstring& root, std::vector<std::uint8_t> bytes,
                                      std::uint32_t error) {
    std::lock_guard lock(state_->mutex);
    auto& slot = state_->roots[root];
    if (!slot)
        slot = std::make_unique<State::Root>();
    slot->batches.push_back({std::move(bytes), error});
    slot->queued.Release();
}

void ScriptedChangeNotification::Detach(const std::wstring& root, std::uint32_t error) {
    std::lock_guard lock(state_->mutex);
    auto& slot = state_->roots[root];
    if (!slot)
        slot = std::make_unique<State::Root>();
    slot->detached = slot->opened;
    slot->detachError = error;
    slot->queued.Release();  // wakes a watch waiting for its next batch
}

void ScriptedChangeNotification::SetBeforeDelivery(std::function<void()> hook) {
    std::lock_guard lock(state_->mutex);
    state_->beforeDelivery = std::move(hook);
}

std::size_t ScriptedChangeNotification::Delivered() const {
    std::lock_guard lock(state_->mutex);
    return state_->delivered;
}

bool ScriptedChangeNotification::WaitDelivered(std::size_t count, std::uint32_t timeoutMs) const {
    std::unique_lock lock(state_->mutex);
    return state_->deliveredChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                             [&] { return state_->delivered >= count; });
}

bool ScriptedChangeNotification::WaitReading(const std::wstring& root, std::uint32_t timeoutMs) const {
    std::unique_lock lock(state_->mutex);
    return state_->deliveredChanged.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
        const auto slot = state_->roots.find(root);
        return slot != state_->roots.end() && slot->second->reading > 0;
    });
}

std::size_t ScriptedChangeNotification::OpenWatches() const {
    std::lock_guard lock(state_->mutex);
    return state_->open;
}

std::unique_ptr<DirectoryWatch> ScriptedChangeNotification::Open(const std::wstring& root,
                                                                 std::uint32_t& error) {
    std::lock_guard lock(state_->mutex);
    auto it = state_->roots.find(root);
    if (it == state_->roots.end() || !it->second->opens) {
        error = kErrorPathNotFound;
        return nullptr;
    }
    error = 0;
    ++state_->open;
    return std::make_unique<ScriptedWatch>(
        state_, *it->second, static_cast<std::intptr_t>(100 + state_->open), it->second->opened++);
}

}  // namespace kestrel::notify
