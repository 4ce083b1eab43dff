// The real file-system control: CreateFileW for volumes and files, NtFsControlFile bound from ntdll.
#include <windows.h>
#include <winioctl.h>
#include <winternl.h>

#include <atomic>
#include <cstddef>

#include "platform/FileSystemControl.h"

namespace kestrel::fs {

// The records of the portable header must be the SDK's, byte for byte.
static_assert(sizeof(IO_STATUS_BLOCK) == sizeof(::IO_STATUS_BLOCK));
static_assert(offsetof(IO_STATUS_BLOCK, Information) == offsetof(::IO_STATUS_BLOCK, Information));
static_assert(sizeof(NTFS_VOLUME_DATA_BUFFER) == sizeof(::NTFS_VOLUME_DATA_BUFFER));
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, TotalClusters) ==
              offsetof(::NTFS_VOLUME_DATA_BUFFER, TotalClusters));
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, BytesPerCluster) ==
              offsetof(::NTFS_VOLUME_DATA_BUFFER, BytesPerCluster));
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, MftZoneStart) ==
              offsetof(::NTFS_VOLUME_DATA_BUFFER, MftZoneStart));
static_assert(offsetof(NTFS_VOLUME_DATA_BUFFER, MftZoneEnd) ==
              offsetof(::NTFS_VOLUME_DATA_BUFFER, MftZoneEnd));
static_assert(sizeof(STARTING_LCN_INPUT_BUFFER) == sizeof(::STARTING_LCN_INPUT_BUFFER));
static_assert(sizeof(VOLUME_BITMAP_BUFFER) == sizeof(::VOLUME_BITMAP_BUFFER));
static_assert(offsetof(VOLUME_BITMAP_BUFFER, BitmapSize) == offsetof(::VOLUME_BITMAP_BUFFER, BitmapSize));
static_assert(offsetof(VOLUME_BITMAP_BUFFER, Buffer) == offsetof(::VOLUME_BITMAP_BUFFER, Buffer));
static_assert(sizeof(STARTING_VCN_INPUT_BUFFER) == sizeof(::STARTING_VCN_INPUT_BUFFER));
static_assert(sizeof(RETRIEVAL_POINTERS_BUFFER) == sizeof(::RETRIEVAL_POINTERS_BUFFER));
static_assert(offsetof(RETRIEVAL_POINTERS_BUFFER, StartingVcn) ==
              offsetof(::RETRIEVAL_POINTERS_BUFFER, StartingVcn));
static_assert(offsetof(RETRIEVAL_POINTERS_BUFFER, Extents) == offsetof(::RETRIEVAL_POINTERS_BUFFER, Extents));
static_assert(sizeof(MOVE_FILE_DATA) == sizeof(::MOVE_FILE_DATA));
static_assert(offsetof(MOVE_FILE_DATA, StartingVcn) == offsetof(::MOVE_FILE_DATA, StartingVcn));
static_assert(offsetof(MOVE_FILE_DATA, StartingLcn) == offsetof(::MOVE_FILE_DATA, StartingLcn));
static_assert(offsetof(MOVE_FILE_DATA, ClusterCount) == offsetof(::MOVE_FILE_DATA, ClusterCount));
static_assert(sizeof(FILE_NOTIFY_INFORMATION) == sizeof(::FILE_NOTIFY_INFORMATION));
static_assert(offsetof(FILE_NOTIFY_INFORMATION, Action) == offsetof(::FILE_NOTIFY_INFORMATION, Action));
static_assert(offsetof(FILE_NOTIFY_INFORMATION, FileNameLength) ==
              offsetof(::FILE_NOTIFY_INFORMATION, FileNameLength));
static_assert(offsetof(FILE_NOTIFY_INFORMATION, FileName) == offsetof(::FILE_NOTIFY_INFORMATION, FileName));
static_assert(kFsctlGetNtfsVolumeData == FSCTL_GET_NTFS_VOLUME_DATA);
static_assert(kFsctlGetVolumeBitmap == FSCTL_GET_VOLUME_BITMAP);
static_assert(kFsctlGetRetrievalPointers == FSCTL_GET_RETRIEVAL_POINTERS);
static_assert(kFsctlMoveFile == FSCTL_MOVE_FILE);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE);

namespace {

using NtFsControlFileFn = LONG(NTAPI*)(HANDLE FileHandle, HANDLE Event, PVOID ApcRoutine, PVOID ApcContext,
                                       ::IO_STATUS_BLOCK* IoStatusBlock, ULONG FsControlCode,
                                       PVOID InputBuffer, ULONG InputBufferLength, PVOID OutputBuffer,
                                       ULONG OutputBufferLength);

// Process-wide entry point; every binding writes the same value.
std::atomic<NtFsControlFileFn> g_ntFsControlFile{nullptr};

// Both kinds of handle are opened for synchronous I/O: without FILE_FLAG_OVERLAPPED the system waits
// inside NtFsControlFile until the request has completed, so no request stays pending after the call and
// nothing writes into the caller's status block or buffers later (see FileSystemControl.h).
constexpr DWORD kVolumeFlags = 0;
constexpr DWORD kFileFlags = FILE_FLAG_BACKUP_SEMANTICS;
static_assert((kVolumeFlags & FILE_FLAG_OVERLAPPED) == 0 && (kFileFlags & FILE_FLAG_OVERLAPPED) == 0,
              "the engine relies on synchronous handles");

OpenResult Open(const std::wstring& path, DWORD access, DWORD flags) {
    HANDLE h = CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, flags, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return {kInvalidHandle, GetLastError()};
    return {h, kErrorSuccess};
}

class Win32FileSystemControl : public FileSystemControl {
  public:
    OpenResult OpenVolume(const std::wstring& devicePath) override {
        return Open(devicePath, GENERIC_READ, kVolumeFlags);
    }

    OpenResult OpenFile(const std::wstring& path) override { return Open(path, 0, kFileFlags); }

    void Close(RawHandle handle) noexcept override {
        if (handle != kInvalidHandle && handle != nullptr)
            CloseHandle(handle);
    }

    bool Bind() override {
        if (g_ntFsControlFile.load() != nullptr)
            return true;
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        if (ntdll == nullptr)
            return false;
        auto fn = reinterpret_cast<NtFsControlFileFn>(
            reinterpret_cast<void*>(GetProcAddress(ntdll, "NtFsControlFile")));
        g_ntFsControlFile.store(fn);
        return fn != nullptr;
    }

    NtStatus Control(RawHandle handle, IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                     std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        if (!Bind())
            return kStatusNotSupported;
        io.Status = kStatusPending;
        io.Information = 0;
        LONG status = g_ntFsControlFile.load()(handle, nullptr, nullptr, nullptr,
                                               reinterpret_cast<::IO_STATUS_BLOCK*>(&io), code,
                                               const_cast<void*>(in), inLength, out, outLength);
        return static_cast<NtStatus>(status);
    }

    bool Wait(RawHandle handle, std::uint32_t timeoutMs) override {
        return WaitForSingleObject(handle, timeoutMs) == WAIT_OBJECT_0;
    }

    std::optional<std::uint64_t> FindFileSize(const std::wstring& path) override {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW(path.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE)
            return std::nullopt;
        FindClose(find);
        return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
};

}  // namespace

FileSystemControl& DefaultFileSystemControl() {
    static Win32FileSystemControl control;
    return control;
}

}  // namespace kestrel::fs
