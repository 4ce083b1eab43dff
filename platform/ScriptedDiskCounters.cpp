#include "platform/ScriptedDiskCounters.h"

#include <algorithm>

namespace kestrel::perf {

class ScriptedDiskCounters::Access : public CounterAccess {
  public:
    Access(ScriptedDiskCounters& owner, std::shared_ptr<Cursor> cursor)
        : owner_(owner), cursor_(std::move(cursor)) {}
    std::int32_t GetPropertyHandle(const std::wstring& property, std::int32_t& handle) override {
        std::lock_guard lock(owner_.mutex_);
        if (property == L"PercentIdleTime") {
            handle = 1;
            return owner_.session_.idleHandleError;
        }
        if (property == L"PercentIdleTime_Base") {
            handle = 2;
            return owner_.session_.baseHandleError;
        }
        return kWbemNotFound;
    }
    bool ReadQword(std::int32_t handle, std::uint64_t& value) override {
        std::lock_guard lock(owner_.mutex_);
        const RawSample* sample = owner_.SampleLocked(*cursor_);
        if (sample == nullptr)
            return false;
        if (handle == 1 && owner_.session_.idleHandleError == 0 && !sample->idleFails) {
            value = sample->idle;
            return true;
        }
        if (handle == 2 && owner_.session_.baseHandleError == 0 && !sample->baseFails) {
            value = sample->base;
            return true;
        }
        return false;
    }

  private:
    ScriptedDiskCounters& owner_;
    std::shared_ptr<Cursor> cursor_;
};

class ScriptedDiskCounters::ScriptedRefresher : public Refresher {
  public:
    explicit ScriptedRefresher(ScriptedDiskCounters& owner) : owner_(owner) {}
    AddResult AddObjectByPath(const std::wstring& objectPath, std::int32_t& error,
                              std::unique_ptr<CounterAccess>& access) override {
        std::lock_guard lock(owner_.mutex_);
        owner_.addedPaths_.push_back(objectPath);
        if (owner_.session_.add == AddResult::Failed) {
            error = owner_.session_.addError;
            return AddResult::Failed;
        }
        if (owner_.session_.add == AddResult::NoObject)
            return AddResult::NoObject;
        auto cursor = std::make_shared<Cursor>();
        cursor->instance = InstanceOfObjectPath(objectPath);
        cursor->order = owner_.refreshersAdded_[cursor->instance]++;
        owner_.cursors_.push_back(cursor);
        cursors_.push_back(cursor);
        access = std::make_unique<Access>(owner_, cursor);
        return AddResult::Added;
    }
    void Refresh() override {
        std::function<void(const std::wstring&, std::size_t, std::size_t)> hook;
        std::vector<Cursor> seen;
        {
            std::lock_guard lock(owner_.mutex_);
            for (const auto& cursor : cursors_) {
                ++cursor->refreshes;
                seen.push_back(*cursor);
            }
            hook = owner_.onRefresh_;
        }
        if (hook) {
            for (const Cursor& cursor : seen)
                hook(cursor.instance, cursor.order, cursor.refreshes - 1);
        }
    }

  private:
    ScriptedDiskCounters& owner_;
    std::vector<std::shared_ptr<Cursor>> cursors_;
};

class ScriptedDiskCounters::Session : public CounterSession {
  public:
    explicit Session(ScriptedDiskCounters& owner) : owner_(owner) {}
    ~Session() override {
        std::lock_guard lock(owner_.mutex_);
        ++owner_.sessionsClosed_;
    }
    std::int32_t Initialize() override {
        std::lock_guard lock(owner_.mutex_);
        return owner_.session_.initialize;
    }
    bool Connect() override {
        std::lock_guard lock(owner_.mutex_);
        return owner_.session_.connect;
    }
    std::int32_t SetProxyBlanket() override {
        std::lock_guard lock(owner_.mutex_);
        return owner_.session_.proxyBlanket;
    }
    std::unique_ptr<Refresher> CreateRefresher() override {
        std::lock_guard lock(owner_.mutex_);
        if (!owner_.session_.refresher)
            return nullptr;
        return std::make_unique<ScriptedRefresher>(owner_);
    }

  private:
    ScriptedDiskCounters& owner_;
};

ScriptedDiskCounters::ScriptedDiskCounters() = default;
ScriptedDiskCounters::~ScriptedDiskCounters() = default;

void ScriptedDiskCounters::SetInstances(std::vector<std::wstring> instances) {
    std::lock_guard lock(mutex_);
    instances_ = std::move(instances);
}

void ScriptedDiskCounters::SetEnumStatus(std::int32_t lengthStatus, std::int32_t itemsStatus) {
    std::lock_guard lock(mutex_);
    lengthStatus_ = lengthStatus;
    itemsStatus_ = itemsStatus;
}

void ScriptedDiskCounters::SetSession(const SessionScript& script) {
    std::lock_guard lock(mutex_);
    session_ = script;
}

void ScriptedDiskCounters::AddScript(const std::wstring& instance, std::vector<RawSample> samples) {
    std::lock_guard lock(mutex_);
    scripts_[instance].push_back(std::move(samples));
}

void ScriptedDiskCounters::SetOnRefresh(
    std::function<void(const std::wstring&, std::size_t, std::size_t)> hook) {
    std::lock_guard lock(mutex_);
    onRefresh_ = std::move(hook);
}

std::size_t ScriptedDiskCounters::Refreshes(const std::wstring& instance, std::size_t order) const {
    std::lock_guard lock(mutex_);
    for (const auto& cursor : cursors_) {
        if (cursor->instance == instance && cursor->order == order)
            return cursor->refreshes;
    }
    return 0;
}

std::size_t ScriptedDiskCounters::SessionsOpened() const {
    std::lock_guard lock(mutex_);
    return sessionsOpened_;
}

std::size_t ScriptedDiskCounters::SessionsClosed() const {
    std::lock_guard lock(mutex_);
    return sessionsClosed_;
}

std::vector<std::wstring> ScriptedDiskCounters::AddedPaths() const {
    std::lock_guard lock(mutex_);
    return addedPaths_;
}

const RawSample* ScriptedDiskCounters::SampleLocked(const Cursor& cursor) const {
    if (cursor.refreshes == 0)
        return nullptr;
    const auto found = scripts_.find(cursor.instance);
    if (found == scripts_.end() || found->second.empty())
        return nullptr;
    const auto& scripts = found->second;
    const auto& script = scripts[std::min(cursor.order, scripts.size() - 1)];
    if (script.empty())
        return nullptr;
    return &script[std::min(cursor.refreshes - 1, script.size() - 1)];
}

std::int32_t ScriptedDiskCounters::RefreshObjects() {
    return 0;
}

std::int32_t ScriptedDiskCounters::ObjectItemLengths(const std::wstring& object, std::uint32_t& counterLength,
                                                     std::uint32_t& instanceLength,
                                                     std::uint32_t& lastError) {
    std::lock_guard lock(mutex_);
    lastError = 0;
    if (object != L"PhysicalDisk")
        return kPdhNoObject;
    counterLength = 1;
    instanceLength = 1;
    for (const std::wstring& name : instances_)
        instanceLength += static_cast<std::uint32_t>(name.size() + 1);
    if (lengthStatus_ != kPdhMoreData && lengthStatus_ != 0)
        lastError = 2;
    return lengthStatus_;
}

std::int32_t ScriptedDiskCounters::ObjectItems(const std::wstring& object, std::uint32_t, std::uint32_t,
                                               std::vector<std::wstring>& instances) {
    std::lock_guard lock(mutex_);
    if (object != L"PhysicalDisk")
        return kPdhNoObject;
    if (itemsStatus_ == 0)
        instances = instances_;
    return itemsStatus_;
}

std::unique_ptr<CounterSession> ScriptedDiskCounters::OpenSession() {
    std::lock_guard lock(mutex_);
    ++sessionsOpened_;
    return std::make_unique<Session>(*this);
}

}  // namespace kestrel::perf
