// The Watcher object: construction, Prepare, the start of its four threads and the shutdown order.
// The change thread and the filtering of its batches live in WatchProc.cpp; each other thread procedure
// has a source file of its own.
#include "service/watcher/Watcher.h"

#include <stdexcept>

#include "common/Format.h"
#include "platform/Console.h"
#include "platform/Trace.h"
#include "common/UpperCase.h"

namespace kestrel::watcher {

Watcher::Watcher(const std::wstring& drivePath, const std::wstring& diskInstanceName,
                 const WatcherPlatform& platform)
    : changes_(platform.changes != nullptr ? *platform.changes : notify::DefaultChangeNotification()),
      drives_(platform.drives != nullptr ? *platform.drives : drives::DefaultDrives()),
      fileSystem_(platform.fileSystem != nullptr ? *platform.fileSystem : fs::DefaultFileSystemControl()),
      diskInstanceName_(diskInstanceName),
      drivePath_(drivePath),
      idle_(true, true, diskInstanceName) {
    completion_.owner = this;
    diskCounters_ = platform.diskCounters != nullptr ? platform.diskCounters : &perf::DefaultDiskCounters();
    if (!queue_.valid() || !stop_.valid() || !idle_.valid())
        throw std::runtime_error("Watcher: a synchronisation object could not be created");
}

Watcher::~Watcher() {
    stop_.Set();
    defragThread_.Join();
    idleMonitorThread_.Join();
    driveValuesThread_.Join();
    changeThread_.Join();
    driveValuesThread_.Close();
    idleMonitorThread_.Close();
    defragThread_.Close();
    changeThread_.Close();
    if (directory_) {
        trace::Write(
            Format(L"Released vol handle=%d, at %s, %d\n", directory_->Value(), L"Watcher.cpp", __LINE__));
        directory_.reset();
    }
    engine_.reset();
}

bool Watcher::Prepare() {
    try {
        idle_.Set();
        UpperCaseInPlace(drivePath_);
        // A bare letter becomes its root ("c" -> "C:\"); so does a letter with its colon ("C:" -> "C:\"),
        // which appending ":\" would turn into "C::\", a root that can never be opened.
        if (drivePath_.size() == 2 && drivePath_[1] == L':') {
            drivePath_ += L"\\";
        } else if (drivePath_.size() < 2 || drivePath_.find(L":\\", 1) == std::wstring::npos) {
            drivePath_ += L":\\";
        }
        std::uint32_t error = 0;
        directory_ = changes_.Open(drivePath_, error);
        if (!directory_)
            throw std::logic_error("No handle");
        trace::Write(Format(L"Got Volume %s handle=%d, at %s, %d\n", drivePath_, directory_->Value(),
                            L"Watcher.cpp", __LINE__));
        BuildDefaultExclusions();
        console::Write(Format(L"Watching drive path = %s\n", drivePath_));
        return true;
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::Watcher");
    }
    return directory_ != nullptr;
}

void Watcher::RequestStop() {
    stop_.Set();
}

void Watcher::StartThreads() {
    changeThread_.Start([this] { return WatchProc(this); });
    defragThread_.Start([this] { return DefragProc(this); });
    idleMonitorThread_.Start([this] { return PerfDiskProc(this); });
    driveValuesThread_.Start([this] { return GetDriveValuesProc(this); });
    defragThread_.SetIdlePriority();
}

}  // namespace kestrel::watcher
