// What the drive-set tests share: a fixed drive table, scripted change notification for every drive in
// it, a list of disk instances the test can change, and scaled time for the watchers' threads.
#pragma once

#include <string>
#include <vector>

#include "platform/DriveTable.h"
#include "platform/ScriptedChangeNotification.h"
#include "platform/Time.h"
#include "service/drives/DriveSet.h"
#include "service/watcher/WatcherTestAccess.h"

namespace kestrel::drives {

struct DriveSetRig {
    void Add(wchar_t letter, std::uint32_t type, bool ready = true) {
        DriveEntry entry;
        entry.type = type;
        entry.ready = ready;
        table.Set(letter, entry);
        changes.AddRoot(std::wstring{letter, L':', L'\\'});
    }
    DriveSetPlatform Platform() {
        return {{&changes, &table, fileSystem}, [this] { return instances; }};
    }

    timing::ScopedTimeDivisor divisor{100};
    notify::ScriptedChangeNotification changes;
    DriveTable table;
    std::vector<std::wstring> instances;
    fs::FileSystemControl* fileSystem = nullptr;  // null: the process's own
};

}  // namespace kestrel::drives
