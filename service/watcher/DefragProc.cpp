// The defragmentation thread. For now it only waits for the stop event; the queue's consumer (transfer
// into the pending-file map, the rest, the idle wait and one attempt per file) takes its place here.
#include "common/Utf16.h"
#include "platform/Trace.h"
#include "service/watcher/Watcher.h"

namespace kestrel::watcher {

std::uint32_t PathHash(const std::wstring& path) {
    std::uint32_t hash = 0;
    for (char16_t unit : ToUtf16(path))
        hash = hash * 33u + unit;
    return hash;
}

bool Watcher::AddFileToDefragList(const std::wstring& path) {
    try {
        {
            std::lock_guard<std::mutex> guard(lock_);
            FileEntry& entry = changedFiles_.emplace_back();
            entry.path = path;
            entry.queuedTime = timing::UnixTime();
        }
        queue_.Release(1);
        return true;
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::AddFileToDefragList");
        return false;
    }
}

void Watcher::GetFileListAndExit(std::list<FileEntry>& files) {
    try {
        stop_.Set();
        defragThread_.Join();
        for (;;) {
            std::lock_guard<std::mutex> guard(lock_);
            if (changedFiles_.empty())
                break;
            pendingFiles_[PathHash(changedFiles_.front().path)] = changedFiles_.front();
            changedFiles_.pop_front();
        }
        for (const auto& [key, entry] : pendingFiles_)
            files.push_back(entry);
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::GetFileListAndExit");
    }
}

std::uint32_t Watcher::DefragProc(Watcher* self) {
    try {
        while (!self->stop_.Wait(timing::kInfinite)) {
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::DefragProc");
    }
    return 1;
}

}  // namespace kestrel::watcher
