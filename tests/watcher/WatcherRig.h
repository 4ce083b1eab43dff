// What the watcher tests share: scripted change notification, a fixed drive table, scaled time and
// real-time polling for what the watcher's threads do.
#pragma once

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/DriveTable.h"
#include "platform/FsRecords.h"
#include "platform/ScriptedChangeNotification.h"
#include "platform/Time.h"
#include "service/watcher/Watcher.h"
#include "service/watcher/WatcherTestAccess.h"

namespace kestrel::watcher {

using Records = std::vector<std::pair<std::uint32_t, std::wstring>>;
using Access = WatcherTestAccess;

struct WatcherRig {
    WatcherRig() {
        changes.AddRoot(L"C:\\");
        drives.Set(L'C', {});
    }
    WatcherPlatform Platform() { return {&changes, &drives, nullptr}; }
    void Push(const Records& records, const std::wstring& root = L"C:\\") {
        changes.Push(root, notify::MakeNotifyBatch(records));
    }

    timing::ScopedTimeDivisor divisor{100};
    notify::ScriptedChangeNotification changes;
    drives::DriveTable drives;
};

// Polls a condition for up to `timeoutMs` of real time.
template <class Condition>
bool WaitUntil(Condition condition, int timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

inline std::vector<std::wstring> Paths(Watcher& w) {
    std::vector<std::wstring> paths;
    for (const FileEntry& entry : Access::ChangedFiles(w))
        paths.push_back(entry.path);
    return paths;
}

}  // namespace kestrel::watcher
