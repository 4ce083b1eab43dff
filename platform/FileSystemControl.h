// The file-system control boundary: opening a volume or a file and issuing the volume's control
// requests. On Windows it is NtFsControlFile from ntdll; on the host and in tests a simulated NTFS volume
// answers the same requests with the same records and status codes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/FsRecords.h"
#include "platform/Handle.h"

namespace kestrel::fs {

// A raw handle value, as wide as a Windows HANDLE so that it can travel inside MOVE_FILE_DATA.
using RawHandle = void*;
inline const RawHandle kInvalidHandle = reinterpret_cast<RawHandle>(static_cast<std::intptr_t>(-1));
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFF;

class FileSystemControl;

// Closes a handle through the interface that opened it.
struct FsHandleTraits {
    using value_type = RawHandle;
    FileSystemControl* owner = nullptr;
    static RawHandle Invalid() noexcept { return kInvalidHandle; }
    void Close(RawHandle h) const noexcept;
};
using FsHandle = UniqueHandle<FsHandleTraits>;

// The result of an open: a handle, or kInvalidHandle and the Win32 error code that explains it.
struct OpenResult {
    RawHandle handle = kInvalidHandle;
    std::uint32_t error = kErrorSuccess;
};

// All methods may be called from several threads at once; each handle is used by one thread at a time.
//
// Handles are opened for synchronous I/O (on Windows: without FILE_FLAG_OVERLAPPED, so the system waits
// inside the control call until the file system has completed the request). A request therefore never
// stays pending after Control returns on the real file system: its status block and output buffer are
// final then. An implementation that does answer STATUS_PENDING (the simulated volume, when a test asks
// for it) completes the request within Wait, and never writes into the caller's status block or buffers
// once Wait has returned, whether it reported completion or not. So a caller may let its buffers go as
// soon as Wait returns false.
class FileSystemControl {
  public:
    virtual ~FileSystemControl() = default;

    // Opens a volume device path such as "\\.\C:" for reading, sharing read, write and delete, for
    // synchronous I/O. The caller owns the handle and closes it with Close. Errors are Win32 codes.
    virtual OpenResult OpenVolume(const std::wstring& devicePath) = 0;

    // Opens a file or directory with no data access (path already prefixed with "\\?\"), sharing read,
    // write and delete, with backup semantics, for synchronous I/O. Errors are Win32 codes (sharing
    // violation, access denied, not found, name too long ...). The caller owns the handle.
    virtual OpenResult OpenFile(const std::wstring& path) = 0;

    // Releases a handle returned by OpenVolume or OpenFile. Closing kInvalidHandle does nothing.
    virtual void Close(RawHandle handle) noexcept = 0;

    // Makes sure the native control call is reachable (binds NtFsControlFile on Windows). False when
    // it is missing. Cheap after the first success.
    virtual bool Bind() = 0;

    // Issues one control request on a handle. The returned status is the immediate answer. When it is
    // kStatusPending (never from the real file system, see above) `io` receives the final status and
    // byte count within Wait(handle). Otherwise `io` holds the same status and the
    // number of bytes written to `out`. Input and output buffers may be null when their length is 0.
    virtual NtStatus Control(RawHandle handle, IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                             std::uint32_t inLength, void* out, std::uint32_t outLength) = 0;

    // Waits for a pending request on the handle to complete. True when it completed within the time-out
    // (milliseconds; kInfinite waits without limit). After a false answer nothing writes into the
    // request's status block or buffers any more.
    virtual bool Wait(RawHandle handle, std::uint32_t timeoutMs) = 0;

    // Size in bytes of the file at a path (the first match of FindFirstFileW), or nothing when absent.
    virtual std::optional<std::uint64_t> FindFileSize(const std::wstring& path) = 0;

    // Owns a raw handle opened by this interface.
    FsHandle Own(RawHandle handle) { return FsHandle(handle, FsHandleTraits{this}); }
};

inline void FsHandleTraits::Close(RawHandle h) const noexcept {
    if (owner != nullptr)
        owner->Close(h);
}

// The file-system control of this process: the real one on Windows; on the host, the set of simulated
// volumes mounted by host mode or a test (see platform/sim/SimFileSystem.h).
FileSystemControl& DefaultFileSystemControl();

}  // namespace kestrel::fs
