// Change notification for tests: the test says which drive roots open and scripts the batches each of
// them delivers. A batch is handed to the outstanding Read on the watching thread, as on Windows; a
// batch larger than the Read's buffer completes with 0 bytes and ERROR_NOTIFY_ENUM_DIR, as Windows does
// when its buffer overflows. Thread-safe.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/ChangeNotification.h"

namespace kestrel::notify {

// Lays out records (action, name relative to the root) the way the system does: each record starts on a
// 4-byte boundary, NextEntryOffset leads to the next one and is 0 in the last.
std::vector<std::uint8_t> MakeNotifyBatch(const std::vector<std::pair<std::uint32_t, std::wstring>>& records);

class ScriptedChangeNotification : public ChangeNotification {
  public:
    ScriptedChangeNotification();
    ~ScriptedChangeNotification() override;

    // A root that Open accepts (compared exactly, e.g. "C:\"); every other root fails with
    // kErrorPathNotFound.
    void AddRoot(const std::wstring& root);
    // Queues a batch for a root: the bytes the Read receives and the completion's error. Batches are
    // delivered in order, one per Read, to the watch that is open on the root then.
    void Push(const std::wstring& root, std::vector<std::uint8_t> bytes, std::uint32_t error = 0);
    // The drive of a root goes away under the watches open on it now: an outstanding Read completes with
    // no bytes and `error`, and every later Read of those watches fails with it, as a Windows handle on
    // a removed volume does. Watches opened afterwards work again (the drive came back).
    void Detach(const std::wstring& root, std::uint32_t error);
    // Runs on the watching thread after a batch was copied into the buffer, just before its handler.
    void SetBeforeDelivery(std::function<void()> hook);

    // Batches handed to a handler so far, over all roots.
    std::size_t Delivered() const;
    // Waits (real time, up to `timeoutMs`) until at least `count` batches were delivered and handled.
    bool WaitDelivered(std::size_t count, std::uint32_t timeoutMs) const;
    // Waits (real time, up to `timeoutMs`) until a watch on `root` has a Read outstanding.
    bool WaitReading(const std::wstring& root, std::uint32_t timeoutMs) const;
    // Watches open now.
    std::size_t OpenWatches() const;

    std::unique_ptr<DirectoryWatch> Open(const std::wstring& root, std::uint32_t& error) override;

    struct State;

  private:
    std::shared_ptr<State> state_;
};

}  // namespace kestrel::notify
