// Disk idle counters for tests: the test gives the "PhysicalDisk" instance list (or the enumeration's
// failure), the answer of every start-up step of a monitor's session, and the raw samples each refresher
// reads. Thread-safe; portable, so that the Windows tests can use it too.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/DiskCounters.h"

namespace kestrel::perf {

// One refresh: the raw "PercentIdleTime" and "PercentIdleTime_Base" values, or a failed read of either.
struct RawSample {
    std::uint64_t idle = 0;
    std::uint64_t base = 0;
    bool idleFails = false;
    bool baseFails = false;
};

// How a session's start-up steps answer.
struct SessionScript {
    std::int32_t initialize = 0;
    bool connect = true;
    std::int32_t proxyBlanket = 0;
    bool refresher = true;
    AddResult add = AddResult::Added;
    std::int32_t addError = 0;  // with AddResult::Failed
    std::int32_t idleHandleError = 0;
    std::int32_t baseHandleError = 0;
};

class ScriptedDiskCounters : public DiskCounters {
  public:
    ScriptedDiskCounters();
    ~ScriptedDiskCounters() override;

    // The instance names the enumeration answers, and the statuses of its two calls (the length query
    // answers kPdhMoreData by default, the read 0).
    void SetInstances(std::vector<std::wstring> instances);
    void SetEnumStatus(std::int32_t lengthStatus, std::int32_t itemsStatus);
    void SetSession(const SessionScript& script);
    // Adds a script of samples for an instance. The refreshers of that instance take the scripts in the
    // order they add the object (the first refresher the first script ...; when there are fewer scripts,
    // the last one). Each refresher reads its script from the start, one sample per Refresh; past its
    // end it repeats the last sample, so that nothing moves any more.
    void AddScript(const std::wstring& instance, std::vector<RawSample> samples);
    // Runs on the refreshing thread after each Refresh: the instance, the refresher's order and the index
    // of the sample it now holds.
    void SetOnRefresh(std::function<void(const std::wstring&, std::size_t, std::size_t)> hook);

    // Refreshes done so far by the refresher of the given order on an instance.
    std::size_t Refreshes(const std::wstring& instance, std::size_t order = 0) const;
    // Sessions opened and destroyed so far; object paths added so far.
    std::size_t SessionsOpened() const;
    std::size_t SessionsClosed() const;
    std::vector<std::wstring> AddedPaths() const;

    std::int32_t RefreshObjects() override;
    std::int32_t ObjectItemLengths(const std::wstring& object, std::uint32_t& counterLength,
                                   std::uint32_t& instanceLength, std::uint32_t& lastError) override;
    std::int32_t ObjectItems(const std::wstring& object, std::uint32_t counterLength,
                             std::uint32_t instanceLength, std::vector<std::wstring>& instances) override;
    std::unique_ptr<CounterSession> OpenSession() override;

  private:
    class Session;
    class ScriptedRefresher;
    class Access;
    struct Cursor {
        std::wstring instance;
        std::size_t order = 0;
        std::size_t refreshes = 0;
    };

    // The sample a refresher holds after `refreshes` refreshes; null before the first.
    const RawSample* SampleLocked(const Cursor& cursor) const;

    mutable std::mutex mutex_;
    std::vector<std::wstring> instances_;
    std::int32_t lengthStatus_ = kPdhMoreData;
    std::int32_t itemsStatus_ = 0;
    SessionScript session_;
    std::map<std::wstring, std::vector<std::vector<RawSample>>> scripts_;
    std::map<std::wstring, std::size_t> refreshersAdded_;
    std::vector<std::shared_ptr<Cursor>> cursors_;
    std::function<void(const std::wstring&, std::size_t, std::size_t)> onRefresh_;
    std::size_t sessionsOpened_ = 0;
    std::size_t sessionsClosed_ = 0;
    std::vector<std::wstring> addedPaths_;
};

}  // namespace kestrel::perf
