// A file-system control that passes every call to a simulated file system; test controls derive from it
// and override only the calls they watch or change.
#pragma once

#include "platform/FileSystemControl.h"
#include "platform/sim/SimFileSystem.h"

namespace kestrel::engine::test {

class ForwardingControl : public fs::FileSystemControl {
  public:
    explicit ForwardingControl(sim::SimFileSystem& inner) : inner_(inner) {}

    fs::OpenResult OpenVolume(const std::wstring& devicePath) override {
        return inner_.OpenVolume(devicePath);
    }
    fs::OpenResult OpenFile(const std::wstring& path) override { return inner_.OpenFile(path); }
    void Close(fs::RawHandle handle) noexcept override { inner_.Close(handle); }
    bool Bind() override { return inner_.Bind(); }
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override {
        return inner_.Control(handle, io, code, in, inLength, out, outLength);
    }
    bool Wait(fs::RawHandle handle, std::uint32_t timeoutMs) override {
        return inner_.Wait(handle, timeoutMs);
    }
    std::optional<std::uint64_t> FindFileSize(const std::wstring& path) override {
        return inner_.FindFileSize(path);
    }

  private:
    sim::SimFileSystem& inner_;
};

}  // namespace kestrel::engine::test
