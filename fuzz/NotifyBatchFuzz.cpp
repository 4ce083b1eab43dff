// Fuzzes the handling of change-notification batches. Each input is one batch of any length (cut to the
// 8,192 bytes of the notification buffer), copied into a buffer of exactly that size so that
// AddressSanitizer sees any read past it; NextEntryOffset, Action and FileNameLength are whatever the
// bytes say. The watcher must queue at most one entry per record header that fits, every queued path must
// start with the drive's root, no excluded path may be queued, no path may be queued twice, and the queue
// semaphore must have one count per record handled.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <vector>

#include "platform/DriveTable.h"
#include "platform/ScriptedChangeNotification.h"
#include "common/UpperCase.h"
#include "service/watcher/Watcher.h"
#include "service/watcher/WatcherTestAccess.h"

namespace {

using namespace kestrel;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

struct Setup {
    Setup() {
        changes.AddRoot(L"C:\\");
        table.Set(L'C', {});
        w.Prepare();
        w.AddExcludeName(L"C:\\TEMP\\");
        w.AddExcludeName(L"A");
    }
    notify::ScriptedChangeNotification changes;
    drives::DriveTable table;
    watcher::Watcher w{L"C", L"", {&changes, &table, nullptr}};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Setup setup;
    using watcher::WatcherTestAccess;
    watcher::Watcher& w = setup.w;
    WatcherTestAccess::ClearChangedFiles(w);
    WatcherTestAccess::DrainQueue(w);

    if (size > watcher::kNotifyBufferSize)
        size = watcher::kNotifyBufferSize;
    std::vector<std::uint8_t> batch(data, data + size);
    w.callback(batch);

    const std::vector<watcher::FileEntry> queued = WatcherTestAccess::ChangedFiles(w);
    const int counts = WatcherTestAccess::DrainQueue(w);
    Require(queued.size() <= static_cast<std::size_t>(counts));
    const std::vector<std::wstring> exclusions = WatcherTestAccess::Exclusions(w);
    std::set<std::wstring> seen;
    for (const watcher::FileEntry& entry : queued) {
        Require(seen.insert(entry.path).second);
        Require(entry.path.rfind(L"C:\\", 0) == 0);
        const std::wstring upper = UpperCase(entry.path);
        for (const std::wstring& exclusion : exclusions)
            Require(upper.find(exclusion) == std::wstring::npos);
    }
    return 0;
}
