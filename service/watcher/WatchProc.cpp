// The change thread and the filtering of its batches: WatchProc keeps one read for size changes
// outstanding on the drive's root; each completed batch runs callback on this thread, which queues every
// changed file that no exclusion names, once per path however often it changes before the
// defragmentation thread takes it.
#include <algorithm>
#include <cstring>
#include <list>
#include <utility>

#include "common/Format.h"
#include "platform/FsRecords.h"
#include "platform/Trace.h"
#include "common/UpperCase.h"
#include "service/watcher/MountPoints.h"
#include "service/watcher/Watcher.h"

namespace kestrel::watcher {
namespace {

constexpr std::size_t kRecordHeader = offsetof(fs::FILE_NOTIFY_INFORMATION, FileName);
// The pauses before a failed read for changes is tried again (nominal milliseconds).
constexpr timing::Millis kFirstRetryMs = 1000;
constexpr timing::Millis kLastRetryMs = 60000;

// System files that are never worth queueing, in the order they are added.
constexpr const wchar_t* kSystemNames[] = {L"BOOTSECT.DOS", L"HIBERFIL.SYS", L"SAFEBOOT", L"BOOT.INI",
                                           L"NTDETECT.COM", L"NTLDR",        L"NTOSKRNL", L"PAGEFILE.SYS"};

std::uint32_t ReadU32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

// Appends `units` UTF-16 code units (little-endian bytes, any alignment) to wide text. Where wchar_t is
// 32-bit, surrogate pairs are joined and unpaired surrogates become U+FFFD.
void AppendUtf16(std::wstring& out, const std::uint8_t* bytes, std::size_t units) {
    if constexpr (sizeof(wchar_t) == 2) {
        const std::size_t at = out.size();
        out.resize(at + units);
        std::memcpy(out.data() + at, bytes, units * 2);
    } else {
        std::size_t at = out.size();
        out.resize(at + units);
        wchar_t* to = out.data();
        for (std::size_t i = 0; i < units; ++i) {
            const auto unit = static_cast<char32_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
            if (unit < 0xD800 || unit > 0xDFFF) {
                to[at++] = static_cast<wchar_t>(unit);
                continue;
            }
            if (unit <= 0xDBFF && i + 1 < units) {
                const auto low = static_cast<char32_t>(bytes[2 * i + 2] | (bytes[2 * i + 3] << 8));
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    to[at++] = static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
            to[at++] = static_cast<wchar_t>(0xFFFD);
        }
        out.resize(at);
    }
}

}  // namespace

std::uint32_t Watcher::WatchProc(Watcher* self) {
    try {
        // After a failed read the next one is tried after a pause that doubles up to a minute: a root
        // whose drive went away fails every read, and asking again each millisecond would only burn
        // the processor until the drive set replaces this Watcher.
        timing::Millis retry = kFirstRetryMs;
        bool failureTraced = false;
        for (;;) {
            self->changeThreadTurns_.fetch_add(1, std::memory_order_relaxed);
            if (!self->directory_) {
                // Nothing to read from: wait for the stop alone.
                self->stop_.Wait(timing::kInfinite);
                break;
            }
            const std::uint32_t error =
                self->directory_->Read(self->notifyBuffer_.data(), kNotifyBufferSize, self->completion_);
            if (error == 0) {
                retry = kFirstRetryMs;
                // The completion runs inside this wait; then the next read is issued.
                if (self->directory_->Wait(self->stop_) == notify::WaitResult::Stopped)
                    break;
                continue;
            }
            self->changeSourceFailed_.store(true);
            if (!std::exchange(failureTraced, true))
                trace::Write(
                    Format(L"Change notification failed on %s (error %lu)\n", self->drivePath_, error));
            if (self->stop_.Wait(retry))
                break;
            retry = std::min<timing::Millis>(retry * 2, kLastRetryMs);
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::WatchProc");
    }
    return 1;
}

bool Watcher::ChangeSourceAlive() const {
    return directory_ != nullptr && !changeSourceFailed_.load() && directory_->Alive();
}

void Watcher::Completion::OnBatch(std::uint32_t error, std::uint32_t bytes) {
    owner->OnBatch(error, bytes);
}

void Watcher::OnBatch(std::uint32_t error, std::uint32_t bytes) {
    if (bytes == 0) {
        // No records. The buffer still holds the previous batch, which must not be handled again. The
        // error tells why: the read was cancelled (nothing to do); more changes happened than the buffer
        // could hold and the system dropped them all (reported with no error or with
        // ERROR_NOTIFY_ENUM_DIR); or the read failed, for example because the volume went away. Which
        // files changed is unknown either way, so nothing can be queued for them; the loss is counted and
        // traced with its true cause instead of passing unnoticed.
        if (error == notify::kErrorOperationAborted)
            return;
        lostBatches_.fetch_add(1);
        if (error == notify::kErrorSuccess || error == notify::kErrorNotifyEnumDir) {
            trace::Write(
                Format(L"Change notifications lost on %s - more changes than the buffer holds (error %lu)\n",
                       drivePath_, error));
        } else {
            changeSourceFailed_.store(true);
            trace::Write(Format(L"Change notifications lost on %s - the read failed (error %lu)\n",
                                drivePath_, error));
        }
        return;
    }
    callback(std::span<const std::uint8_t>(notifyBuffer_.data(), std::min(bytes, kNotifyBufferSize)));
}

bool Watcher::RenewChanged(const std::wstring& path, std::int64_t now) {
    const auto listed = changedIndex_.find(std::wstring_view(path));
    if (listed == changedIndex_.end())
        return false;
    // Renewed rather than listed again: the list holds each path once, and the newest change decides
    // when the file's rest ends.
    FileEntry& entry = *listed->second;
    entry.queuedTime = std::max(entry.queuedTime, now);
    return true;
}

void Watcher::ListChanged(const std::wstring& path, std::int64_t now) {
    FileEntry& entry = changedFiles_.emplace_back();
    try {
        entry.path = path;
        entry.queuedTime = now;
        changedIndex_.emplace(std::wstring_view(entry.path), std::prev(changedFiles_.end()));
    } catch (...) {
        changedFiles_.pop_back();
        throw;
    }
}

void Watcher::QueueChanged(const std::wstring& path, std::int64_t now) {
    if (!RenewChanged(path, now))
        ListChanged(path, now);
}

void Watcher::callback(std::span<const std::uint8_t> batch) {
    std::lock_guard lock(lock_);
    try {
        const std::int64_t now = timing::UnixTime();
        std::size_t offset = 0;
        for (;;) {
            if (batch.size() - offset < kRecordHeader)
                break;
            const std::uint8_t* record = batch.data() + offset;
            const std::uint32_t next = ReadU32(record);
            const std::uint32_t action = ReadU32(record + 4);
            const std::uint32_t nameBytes = ReadU32(record + 8);
            if (action == 0 || action > fs::kFileActionRenamedNewName)
                break;
            // A name that does not fit in what was received, or is not whole UTF-16, ends the batch.
            if (nameBytes > batch.size() - offset - kRecordHeader || nameBytes % 2 != 0)
                break;
            fullPath_.assign(drivePath_);
            AppendUtf16(fullPath_, record + kRecordHeader, nameBytes / 2);
            // A path listed already was not excluded when it was listed: it is only renewed.
            if (!RenewChanged(fullPath_, now)) {
                upperPath_.assign(fullPath_);
                UpperCaseInPlace(upperPath_);
                const bool excluded = std::any_of(
                    exclusions_.begin(), exclusions_.end(),
                    [this](const std::wstring& e) { return upperPath_.find(e) != std::wstring::npos; });
                if (!excluded)
                    ListChanged(fullPath_, now);
            }
            queue_.Release(
                1);  // fails silently at the maximum: only fewer passes of the defragmentation thread
            if (next == 0 || next >= batch.size() - offset)
                break;  // the last record, or the next one would start outside the batch
            offset += next;
        }
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::callback");
    }
}

void Watcher::AddExcludeName(const std::wstring& name) {
    try {
        std::wstring upper = UpperCase(name);
        if (upper.empty())
            return;  // would exclude every path
        std::lock_guard lock(lock_);
        // Every entry is upper case already, so the set answers what comparing each upper-cased entry
        // with the name would.
        if (!excluded_.insert(upper).second)
            return;
        exclusions_.push_back(std::move(upper));
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::AddExcludeName");
    }
}

std::vector<std::wstring> Watcher::DefaultExclusions() const {
    std::list<std::wstring> mountPoints;
    ListVolumeMountPoints(drives_, drivePath_, mountPoints);
    std::vector<std::wstring> names;
    for (const std::wstring& mountPoint : mountPoints)
        names.push_back(UpperCase(mountPoint));
    for (const wchar_t* name : kSystemNames)
        names.push_back(name);
    return names;
}

void Watcher::BuildDefaultExclusions() {
    std::vector<std::wstring> defaults = DefaultExclusions();
    std::lock_guard lock(lock_);
    excluded_.insert(defaults.begin(), defaults.end());
    exclusions_.insert(exclusions_.end(), defaults.begin(), defaults.end());
}

void Watcher::ReplaceExclusions(const std::vector<std::wstring>& names) {
    try {
        // Prepare builds the defaults only once the root is open; without it there are none to keep.
        std::vector<std::wstring> list;
        if (directory_)
            list = DefaultExclusions();
        std::unordered_set<std::wstring> set(list.begin(), list.end());
        for (const std::wstring& name : names) {
            std::wstring upper = UpperCase(name);
            if (!upper.empty() && set.insert(upper).second)
                list.push_back(std::move(upper));
        }
        std::lock_guard lock(lock_);
        exclusions_.swap(list);
        excluded_.swap(set);
    } catch (...) {
        trace::Write(L"Caught exception in Watcher::ReplaceExclusions");
    }
}

}  // namespace kestrel::watcher
