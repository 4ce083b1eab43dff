// The defragmentation thread and its queue: changed files move from the changed-file list into the
// pending-file map (keyed by PathHash), rest 30 seconds after their last change, are measured once, and
// get one attempt per walk while the disk is idle: compaction for a fragmented file, a move towards the
// front for a file in one piece when the move flag asks for it. Two attempts that do not help drop a file.
#include <algorithm>
#include <limits>

#include "common/Format.h"
#include "common/UpperCase.h"
#include "platform/Console.h"
#include "platform/Trace.h"
#include "service/engine/CompactNonCompressedFragmentedFile.h"
#include "service/engine/FileMover.h"
#include "service/watcher/Watcher.h"

namespace kestrel::watcher {
namespace {

// Seconds a file rests after it was queued or after an attempt failed.
constexpr std::int64_t kRestSeconds = 30;
// The pause after every walk of a non-empty map.
constexpr timing::Millis kWalkPauseMs = 10000;
// Attempts that did not help after which a file is dropped.
constexpr std::uint32_t kMaximumAttempts = 2;

}  // namespace

std::uint32_t PathHash(const std::wstring& path) {
    std::uint32_t hash = 0;
    for (const wchar_t c : path) {
        if constexpr (sizeof(wchar_t) == 2) {
            hash = hash * 33u + static_cast<std::uint16_t>(c);
        } else {
            // A 32-bit wchar_t holds whole code points: hash their UTF-16 form, so that both targets agree.
            auto point = static_cast<std::uint32_t>(c);
            if (point > 0x10FFFF || (point >= 0xD800 && point <= 0xDFFF))
                point = 0xFFFD;  // as ToUtf16 converts it
            if (point >= 0x10000) {
                point -= 0x10000;
                hash = hash * 33u + (0xD800u + (point >> 10));
                hash = hash * 33u + (0xDC00u + (point & 0x3FFu));
            } else {
                hash = hash * 33u + point;
            }
        }
    }
    return hash;
}

bool Watcher::AddFileToDefragList(const std::wstring& path) {
    try {
        {
            std::lock_guard<std::mutex> guard(lock_);
            QueueChanged(path, timing::UnixTime());
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
        Transfer(false);
        for (const auto& [key, entry] : pendingFiles_)
            files.push_back(entry);
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::GetFileListAndExit");
    }
}

std::vector<std::wstring> Watcher::PendingPaths() {
    std::vector<std::wstring> paths;
    try {
        std::map<std::uint32_t, const std::wstring*> byKey;
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& [key, entry] : pendingFiles_)
            byKey[key] = &entry.path;
        // The list is transferred in order, each entry replacing the one of its key.
        for (const FileEntry& entry : changedFiles_)
            byKey[PathHash(entry.path)] = &entry.path;
        paths.reserve(byKey.size());
        for (const auto& [key, path] : byKey)
            paths.push_back(*path);
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::PendingPaths");
    }
    return paths;
}

void Watcher::ErasePending(std::uint32_t key) {
    std::lock_guard<std::mutex> guard(lock_);
    pendingFiles_.erase(key);
}

void Watcher::StorePending(std::uint32_t key, FileEntry entry) {
    std::lock_guard<std::mutex> guard(lock_);
    pendingFiles_[key] = std::move(entry);
}

void Watcher::Transfer(bool duplicateCheck) {
    for (;;) {
        std::wstring lost;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (changedFiles_.empty())
                return;
            changedIndex_.erase(std::wstring_view(changedFiles_.front().path));
            FileEntry entry = std::move(changedFiles_.front());
            changedFiles_.pop_front();
            const std::uint32_t key = PathHash(entry.path);
            auto [at, inserted] = pendingFiles_.try_emplace(key);
            if (!inserted && duplicateCheck && at->second.path != entry.path)
                lost = std::move(at->second.path);
            at->second = std::move(entry);
        }
        // Written after the lock is released: the change thread is not held up by the trace sink.
        if (!lost.empty())
            trace::Write(Format(L"duplicate entry - lose it now %s\n", lost));
    }
}

timing::Millis Watcher::QuietPassTimeout() const {
    if (pendingFiles_.empty())
        return timing::kInfinite;
    std::int64_t due = std::numeric_limits<std::int64_t>::max();
    for (const auto& [key, entry] : pendingFiles_)
        due = std::min(due, entry.queuedTime + kRestSeconds);
    const std::int64_t now = timing::UnixTime();
    // One second more than the rest: the clock counts whole seconds, and a pass that comes a moment too
    // early would find the file still resting and cost a further walk and pause.
    const std::int64_t seconds = std::max<std::int64_t>(0, due - now) + 1;
    return static_cast<timing::Millis>(std::min<std::int64_t>(seconds * 1000, timing::kInfinite - 1));
}

bool Watcher::GetData(FileEntry& entry) {
    try {
        if (!engine_)
            return false;
        if (entry.fragments != 0)
            return true;
        engine_->GetFileFragments(entry.path);  // selects the file's volume; the count is not needed
        engine::FileInfo info;
        engine::RefreshFileInfo(*engine_, entry.path, info);
        entry.firstLcn = info.firstLcn;
        entry.clusters = info.clusters;
        entry.fragments = info.fragments;
        entry.vcnLength = info.vcnLength;
        return !(info.clusters == 0 || static_cast<std::int32_t>(info.clusters) < -1);
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::GetData");
        return true;
    }
}

void Watcher::GetStartingSizes() {
    try {
        startingSizes_.fill(0);
        std::int64_t previous = 1;
        for (std::uint32_t i = 0; i < startingSizes_.size(); ++i) {
            if (engine_) {
                std::int64_t length = 0;
                previous = engine_->FindFreeRun(previous - 1, 64ull * i, length, 0, nullptr);
            }
            startingSizes_[i] = static_cast<std::uint32_t>(previous);
            if (previous == 0)
                break;
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::GetStartingSizes");
    }
}

void Watcher::ExecuteFileCommand(FileEntry entry, std::uint32_t key) {
    try {
        if (entry.fragments <= 1 && !moveFlag_.load()) {
            ErasePending(key);  // a file in one piece is moved only when the move flag asks for it
            return;
        }
        didWork_.store(1, std::memory_order_relaxed);
        engine::FileInfo info;
        engine::RefreshFileInfo(*engine_, entry.path, info);
        const engine::FileInfo before = info;
        std::int32_t moved = 0;
        std::int32_t defragmented = 0;
        std::int32_t result;
        // The choice follows the fragments measured when the file was examined, not the fresh map.
        if (entry.fragments > 1) {
            engine::CompactNonCompressedFragmentedFile compaction(*engine_, info);
            result = compaction.Process(moved, defragmented);
        } else {
            engine::FileMover mover(*engine_, info);
            result = mover.Move(moved, defragmented);
        }
        if (result <= 0) {
            ++entry.attempts;
            entry.queuedTime = timing::UnixTime();
            StorePending(key, std::move(entry));
            return;
        }
        engine::RefreshFileInfo(*engine_, entry.path, info);
        recompute_.store(true, std::memory_order_relaxed);
        const std::int64_t b = before.fragments;
        const std::int64_t a = info.fragments;
        if (b > a) {
            ErasePending(key);
            const auto saved = static_cast<std::int32_t>(b - a);
            fragmentsSaved_.fetch_add(saved, std::memory_order_relaxed);
            if (b - 1 > largestFragmentsSaved_.load(std::memory_order_relaxed))
                largestFragmentsSaved_.store(static_cast<std::int32_t>(b - 1), std::memory_order_relaxed);
            trace::Write(Format(L"%s defragged - old=%I64d, new=%I64d - %d less fragment%s - %d files left\n",
                                entry.path, before.firstLcn, info.firstLcn, saved, saved > 1 ? L"s" : L"",
                                static_cast<std::int32_t>(pendingFiles_.size())));
        } else if (b > 1) {
            ++entry.attempts;  // still in as many pieces: tried again on a later walk, queued time kept
            StorePending(key, std::move(entry));
        } else if (b == 1 && before.firstLcn == info.firstLcn) {
            ErasePending(key);
        }
        // Otherwise a one-piece file was moved: its entry stays unmeasured, so that a later walk measures
        // it at its new place and moves it further or lets it go.
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::ExecuteFileCommand");
        // A throw is a failed attempt like any other. Kept as it was, the entry would keep its attempts
        // and its queued time, and a file that always throws would be opened and mapped again on every
        // pass for as long as the service runs; counted, it is dropped after the second.
        try {
            std::lock_guard<std::mutex> guard(lock_);
            const auto at = pendingFiles_.find(key);
            if (at != pendingFiles_.end() && at->second.path == entry.path) {
                ++at->second.attempts;
                at->second.queuedTime = timing::UnixTime();
            }
        } catch (...) {
        }
    }
}

bool Watcher::Walk() {
    // The position is a key: entries the transfer adds or replaces on the way never unsettle it, and
    // ExecuteFileCommand erases only the key it was given.
    std::uint64_t position = 0;
    for (;;) {
        if (position > std::numeric_limits<std::uint32_t>::max() ||
            pendingFiles_.lower_bound(static_cast<std::uint32_t>(position)) == pendingFiles_.end())
            return true;
        if (timing::WaitAny({&stop_, &idle_}, timing::kInfinite) != 1)
            return false;
        Transfer(true);
        if (stop_.Wait(1))
            return false;
        filesLeft_.store(static_cast<std::int32_t>(pendingFiles_.size()), std::memory_order_relaxed);
        const auto at = pendingFiles_.lower_bound(static_cast<std::uint32_t>(position));
        if (at == pendingFiles_.end())
            return true;
        const std::uint32_t key = at->first;
        FileEntry current = at->second;
        position = std::uint64_t{key} + 1;

        if (timing::UnixTime() - current.queuedTime < kRestSeconds)
            continue;  // still resting
        if (current.attempts >= kMaximumAttempts || !GetData(current)) {
            ErasePending(key);
            continue;
        }
        // A file in one piece that already lies before the first free run that could take it stays.
        const std::uint32_t k = current.vcnLength / 64;
        const std::int64_t threshold = k > 255 ? 1 : static_cast<std::int64_t>(startingSizes_[k]) - 1;
        if (current.fragments == 1 && moveFlag_.load() && current.firstLcn < threshold) {
            ErasePending(key);
            continue;
        }
        if (timing::WaitAny({&stop_, &idle_}, timing::kInfinite) != 1)
            return false;
        ExecuteFileCommand(std::move(current), key);
    }
}

std::uint32_t Watcher::DefragProc(Watcher* self) {
    try {
        self->recompute_.store(false, std::memory_order_relaxed);
        if (!self->engine_) {
            self->engine_ =
                std::make_unique<engine::DefragEngine>(self->fileSystem_, self->drivePath_.substr(0, 1));
            self->volumeClusters_.store(self->engine_->TotalClusters(), std::memory_order_relaxed);
        }
        {
            // Prepare upper-cased the path already; the change thread reads it under the lock.
            std::lock_guard<std::mutex> guard(self->lock_);
            std::wstring upper = UpperCase(self->drivePath_);
            if (upper != self->drivePath_)
                self->drivePath_ = std::move(upper);
        }
        self->GetStartingSizes();
        for (;;) {
            // A count of the queue buys a pass; so does the end of the earliest rest in the map, so that a
            // file changed on an otherwise quiet drive is not left waiting for the next change.
            const int woken = timing::WaitAny({&self->stop_, &self->queue_}, self->QuietPassTimeout());
            if (woken == 0 || woken == timing::kWaitFailed)
                return 1;
            self->Transfer(false);
            if (!self->pendingFiles_.empty()) {
                self->Walk();
                self->filesLeft_.store(static_cast<std::int32_t>(self->pendingFiles_.size()),
                                       std::memory_order_relaxed);
                // The pause ends early only to stop: a stop need not wait out ten seconds.
                if (self->stop_.Wait(kWalkPauseMs))
                    return 1;
                if (self->recompute_.exchange(false, std::memory_order_relaxed))
                    self->GetStartingSizes();
            }
            std::lock_guard<std::mutex> guard(self->lock_);
            if (self->pendingFiles_.empty() && self->changedFiles_.empty() &&
                self->didWork_.load(std::memory_order_relaxed) != 0) {
                self->didWork_.store(0, std::memory_order_relaxed);
                self->filesLeft_.store(0, std::memory_order_relaxed);
                console::Write(Format(L"no more files to process on path %s\n", self->drivePath_));
            }
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::DefragProc");
    }
    return 1;
}

}  // namespace kestrel::watcher
