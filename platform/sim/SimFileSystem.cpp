// File-system control over simulated volumes.
//
// Handles are small numbers (4, 8, 12, ...) that are never reused, so a stale handle is always
// recognised as closed. Each maps to a mounted volume and either the volume itself or a volume-relative
// path. The handle table has its own lock; it is never held while a volume is asked anything, so the two
// locks never nest.
//
// Errors of the opens are Win32 codes: a path that is not "\\?\X:\..." or whose volume is not mounted
// and a file whose folder does not exist: ERROR_PATH_NOT_FOUND; a missing file in an existing folder:
// ERROR_FILE_NOT_FOUND; a path longer than 32,767 characters or a name longer than 255:
// ERROR_FILENAME_EXCED_RANGE; injected sharing violations and access denials as injected.
//
// A request that the volume answers as pending returns STATUS_PENDING and leaves the caller's
// IO_STATUS_BLOCK at STATUS_PENDING until Wait on the handle completes it. A request injected as never
// completing makes Wait return false at once, whatever the time-out (even kInfinite): a test must never
// hang on it.
#include "platform/sim/SimFileSystem.h"

#include <cstring>
#include <cwctype>

namespace kestrel::sim {

namespace {

constexpr std::size_t kMaxPath = 32767;
constexpr std::size_t kMaxName = 255;

wchar_t Letter(wchar_t c) {
    if (c >= L'a' && c <= L'z')
        return static_cast<wchar_t>(c - L'a' + L'A');
    if (c >= L'A' && c <= L'Z')
        return c;
    return 0;
}

struct Pending {
    bool active = false;
    bool never = false;
    fs::IO_STATUS_BLOCK* io = nullptr;
    fs::NtStatus status = 0;
    std::uint32_t bytes = 0;
};

struct HandleEntry {
    wchar_t letter = 0;
    SimVolume* volume = nullptr;
    bool isVolume = false;
    std::wstring file;  // volume-relative path, for a file or directory handle
    Pending pending;
};

}  // namespace

struct SimFileSystem::State {
    std::map<wchar_t, SimVolume*> volumes;
    std::map<wchar_t, std::optional<std::uint64_t>> bitmapSizes;
    std::map<std::uintptr_t, HandleEntry> handles;
    std::uintptr_t next = 4;

    fs::RawHandle Add(HandleEntry entry) {
        std::uintptr_t value = next;
        next += 4;
        handles.emplace(value, std::move(entry));
        return reinterpret_cast<fs::RawHandle>(value);
    }
    HandleEntry* Get(fs::RawHandle handle) {
        auto it = handles.find(reinterpret_cast<std::uintptr_t>(handle));
        return it == handles.end() ? nullptr : &it->second;
    }
};

SimFileSystem::SimFileSystem() : state_(std::make_unique<State>()) {}
SimFileSystem::~SimFileSystem() = default;

void SimFileSystem::Mount(wchar_t letter, SimVolume& volume) {
    std::lock_guard lock(mutex_);
    if (wchar_t l = Letter(letter))
        state_->volumes[l] = &volume;
}

void SimFileSystem::Unmount(wchar_t letter) {
    std::lock_guard lock(mutex_);
    wchar_t l = Letter(letter);
    state_->volumes.erase(l);
    // Handles on the volume go stale: requests on them answer STATUS_INVALID_HANDLE.
    for (auto it = state_->handles.begin(); it != state_->handles.end();)
        it = it->second.letter == l ? state_->handles.erase(it) : std::next(it);
}

void SimFileSystem::SetBitmapFileSize(wchar_t letter, std::optional<std::uint64_t> bytes) {
    std::lock_guard lock(mutex_);
    if (wchar_t l = Letter(letter))
        state_->bitmapSizes[l] = bytes;
}

fs::OpenResult SimFileSystem::OpenVolume(const std::wstring& devicePath) {
    // "\\.\X:" exactly.
    if (devicePath.size() != 6 || devicePath.compare(0, 4, L"\\\\.\\") != 0 || devicePath[5] != L':' ||
        Letter(devicePath[4]) == 0)
        return {fs::kInvalidHandle, fs::kErrorPathNotFound};
    std::lock_guard lock(mutex_);
    wchar_t l = Letter(devicePath[4]);
    auto it = state_->volumes.find(l);
    if (it == state_->volumes.end())
        return {fs::kInvalidHandle, fs::kErrorFileNotFound};
    HandleEntry entry;
    entry.letter = l;
    entry.volume = it->second;
    entry.isVolume = true;
    return {state_->Add(std::move(entry)), fs::kErrorSuccess};
}

fs::OpenResult SimFileSystem::OpenFile(const std::wstring& path) {
    if (path.size() > kMaxPath)
        return {fs::kInvalidHandle, fs::kErrorFilenameExcedRange};
    // "\\?\X:\" followed by the volume-relative path.
    if (path.size() < 7 || path.compare(0, 4, L"\\\\?\\") != 0 || Letter(path[4]) == 0 || path[5] != L':' ||
        path[6] != L'\\')
        return {fs::kInvalidHandle, fs::kErrorPathNotFound};
    std::wstring relative = path.substr(6);
    std::size_t nameStart = 0;
    for (std::size_t i = 1; i <= relative.size(); ++i) {
        if (i == relative.size() || relative[i] == L'\\') {
            if (i - nameStart - 1 > kMaxName)
                return {fs::kInvalidHandle, fs::kErrorFilenameExcedRange};
            nameStart = i;
        }
    }
    wchar_t l = Letter(path[4]);
    SimVolume* volume = nullptr;
    {
        std::lock_guard lock(mutex_);
        auto it = state_->volumes.find(l);
        if (it == state_->volumes.end())
            return {fs::kInvalidHandle, fs::kErrorPathNotFound};
        volume = it->second;
    }
    if (std::uint32_t error = volume->CheckOpen(relative); error != fs::kErrorSuccess)
        return {fs::kInvalidHandle, error};
    std::lock_guard lock(mutex_);
    // The volume may have been unmounted meanwhile.
    auto it = state_->volumes.find(l);
    if (it == state_->volumes.end() || it->second != volume)
        return {fs::kInvalidHandle, fs::kErrorPathNotFound};
    HandleEntry entry;
    entry.letter = l;
    entry.volume = volume;
    entry.file = relative;
    return {state_->Add(std::move(entry)), fs::kErrorSuccess};
}

void SimFileSystem::Close(fs::RawHandle handle) noexcept {
    std::lock_guard lock(mutex_);
    state_->handles.erase(reinterpret_cast<std::uintptr_t>(handle));
}

fs::NtStatus SimFileSystem::Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code,
                                    const void* in, std::uint32_t inLength, void* out,
                                    std::uint32_t outLength) {
    auto finish = [&io](fs::NtStatus status, std::uint32_t bytes) {
        io.Status = status;
        io.Information = bytes;
        return status;
    };
    SimVolume* volume = nullptr;
    std::wstring file;
    std::wstring moveFile;
    {
        std::lock_guard lock(mutex_);
        HandleEntry* entry = state_->Get(handle);
        if (entry == nullptr)
            return finish(fs::kStatusInvalidHandle, 0);
        volume = entry->volume;
        if (!entry->isVolume)
            file = entry->file.empty() ? std::wstring(L"\\") : entry->file;
        // The file handle inside a move request must be a file handle of this interface on the same volume.
        if (code == fs::kFsctlMoveFile && entry->isVolume && in != nullptr &&
            inLength >= sizeof(fs::MOVE_FILE_DATA)) {
            fs::RawHandle inner = nullptr;
            std::memcpy(&inner, in, sizeof inner);
            HandleEntry* target = state_->Get(inner);
            if (target == nullptr)
                return finish(fs::kStatusInvalidHandle, 0);
            if (target->isVolume || target->volume != volume)
                return finish(fs::kStatusInvalidParameter, 0);
            moveFile = target->file;
        }
    }
    SimVolume::Answer answer = volume->Request(file, code, in, inLength, out, outLength, moveFile);
    std::lock_guard lock(mutex_);
    HandleEntry* entry = state_->Get(handle);
    if (!answer.pending) {
        // A completed request signals the handle, as a file object is signalled on every completion; an
        // earlier request that never completes stays pending in its own status block.
        if (entry != nullptr)
            entry->pending = Pending{};
        return finish(answer.status, answer.bytes);
    }
    if (entry != nullptr)
        entry->pending = Pending{true, answer.neverCompletes, &io, answer.status, answer.bytes};
    io.Status = fs::kStatusPending;
    io.Information = 0;
    return fs::kStatusPending;
}

bool SimFileSystem::Wait(fs::RawHandle handle, std::uint32_t /*timeoutMs*/) {
    std::lock_guard lock(mutex_);
    HandleEntry* entry = state_->Get(handle);
    if (entry == nullptr)
        return false;
    Pending& p = entry->pending;
    if (!p.active)
        return true;  // nothing outstanding: the handle is signalled
    if (p.never)
        return false;  // a request that never completes: the wait times out at once
    p.io->Status = p.status;
    p.io->Information = p.bytes;
    p = Pending{};
    return true;
}

std::optional<std::uint64_t> SimFileSystem::FindFileSize(const std::wstring& path) {
    std::wstring p = path;
    if (p.compare(0, 4, L"\\\\?\\") == 0)
        p = p.substr(4);
    if (p.size() < 3 || Letter(p[0]) == 0 || p[1] != L':' || p[2] != L'\\')
        return std::nullopt;
    wchar_t l = Letter(p[0]);
    std::wstring relative = p.substr(2);
    SimVolume* volume = nullptr;
    {
        std::lock_guard lock(mutex_);
        std::wstring upper = relative;
        for (auto& c : upper)
            c = static_cast<wchar_t>(std::towupper(static_cast<std::wint_t>(c)));
        if (upper == L"\\$BITMAP") {
            auto it = state_->bitmapSizes.find(l);
            return it == state_->bitmapSizes.end() ? std::nullopt : it->second;
        }
        auto it = state_->volumes.find(l);
        if (it == state_->volumes.end())
            return std::nullopt;
        volume = it->second;
    }
    if (!volume->Exists(relative))
        return std::nullopt;
    std::vector<Run> runs = volume->Runs(relative);
    std::int64_t vcns = runs.empty() ? 0 : runs.back().vcn + runs.back().length;
    return static_cast<std::uint64_t>(vcns) * volume->geometry().bytesPerCluster;
}

std::size_t SimFileSystem::OpenHandles() const {
    std::lock_guard lock(mutex_);
    return state_->handles.size();
}

}  // namespace kestrel::sim
