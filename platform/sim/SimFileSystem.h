// File-system control over simulated volumes: volumes are mounted by drive letter; "\\.\C:" opens the
// volume of C, "\\?\C:\DIR\FILE" a file on it. Handles are small numbers that the adapter maps back to
// the volume and file. A pending answer is completed by Wait. Thread-safe.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "platform/FileSystemControl.h"
#include "platform/sim/SimVolume.h"

namespace kestrel::sim {

class SimFileSystem : public fs::FileSystemControl {
  public:
    SimFileSystem();
    ~SimFileSystem() override;

    // Mounts a volume under a drive letter ('A' to 'Z', either case); the volume must outlive its mount.
    void Mount(wchar_t letter, SimVolume& volume);
    void Unmount(wchar_t letter);

    // Size in bytes a file named "$bitmap" is reported with by FindFileSize, per letter; by default the
    // "$bitmap" file is not found.
    void SetBitmapFileSize(wchar_t letter, std::optional<std::uint64_t> bytes);

    fs::OpenResult OpenVolume(const std::wstring& devicePath) override;
    fs::OpenResult OpenFile(const std::wstring& path) override;
    void Close(fs::RawHandle handle) noexcept override;
    bool Bind() override { return true; }
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override;
    bool Wait(fs::RawHandle handle, std::uint32_t timeoutMs) override;
    std::optional<std::uint64_t> FindFileSize(const std::wstring& path) override;

    // Handles currently open (for leak checks in tests).
    std::size_t OpenHandles() const;

  private:
    struct State;
    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
};

}  // namespace kestrel::sim
