// Windows mailslots: CreateMailslotW for readers, CreateFileW for writers, GetMailslotInfo, ReadFile and
// WriteFile.
#include <windows.h>

#include <sddl.h>

#include "platform/Mailslot.h"

namespace kestrel::mailslot {
namespace {

HANDLE ToHandle(RawMailslot raw) {
    return reinterpret_cast<HANDLE>(raw);
}
RawMailslot FromHandle(HANDLE handle) {
    return reinterpret_cast<RawMailslot>(handle);
}

// A security descriptor allocated by the system, released with LocalFree.
struct LocalMemoryTraits {
    using value_type = PSECURITY_DESCRIPTOR;
    static PSECURITY_DESCRIPTOR Invalid() noexcept { return nullptr; }
    static void Close(PSECURITY_DESCRIPTOR memory) noexcept { LocalFree(memory); }
};
using LocalDescriptor = UniqueHandle<LocalMemoryTraits>;

}  // namespace

void MailslotHandleTraits::Close(RawMailslot handle) noexcept {
    CloseHandle(ToHandle(handle));
}

CreateResult CreateReader(const std::wstring& name, bool secure) {
    CreateResult result;
    if (!IsValidMailslotName(name)) {
        result.error = kErrorInvalidName;
        return result;
    }
    SECURITY_ATTRIBUTES attributes{};
    attributes.nLength = sizeof(attributes);
    attributes.bInheritHandle = FALSE;
    LocalDescriptor descriptor;
    if (secure) {
        const std::wstring text(kCommandSlotSecurity);
        PSECURITY_DESCRIPTOR converted = nullptr;
        if (ConvertStringSecurityDescriptorToSecurityDescriptorW(text.c_str(), SDDL_REVISION_1, &converted,
                                                                 nullptr)) {
            descriptor.reset(converted);
        } else {
            result.descriptorError = GetLastError();
        }
        attributes.lpSecurityDescriptor = descriptor.get();
    }
    // Read time-out 0, not MAILSLOT_WAIT_FOREVER: callers ask GetInfo before they read, so a message that
    // is there is read the same either way; should a read still find nothing (GetInfo and ReadFile
    // disagree about a message of no bytes under Wine) it fails at once with ERROR_SEM_TIMEOUT instead of
    // stalling the polling thread, and with it the service's stop, for good.
    HANDLE slot = CreateMailslotW(name.c_str(), 0, 0, secure ? &attributes : nullptr);
    if (slot == INVALID_HANDLE_VALUE) {
        result.error = GetLastError();
        if (result.error == kErrorSuccess)
            result.error = kErrorGenFailure;
        return result;
    }
    result.handle.reset(FromHandle(slot));
    return result;
}

OpenResult OpenWriter(const std::wstring& name) {
    OpenResult result;
    // The name check keeps a writer from ever opening or creating anything but a local mailslot: the
    // names a writer opens may come from another program's request.
    if (!IsValidMailslotName(name)) {
        result.error = kErrorInvalidName;
        return result;
    }
    HANDLE file = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result.error = GetLastError();
        if (result.error == kErrorSuccess)
            result.error = kErrorGenFailure;
        return result;
    }
    result.handle.reset(FromHandle(file));
    return result;
}

std::uint32_t Write(RawMailslot writer, const void* data, std::uint32_t size, std::uint32_t /*roomWaitMs*/) {
    if (writer == kInvalidMailslot || writer == 0)
        return kErrorInvalidHandle;
    if (data == nullptr && size != 0)
        return kErrorInvalidParameter;
    const char empty = 0;
    DWORD written = 0;
    if (!WriteFile(ToHandle(writer), data != nullptr ? data : &empty, size, &written, nullptr)) {
        DWORD error = GetLastError();
        return error != kErrorSuccess ? error : kErrorGenFailure;
    }
    return written == size ? kErrorSuccess : kErrorGenFailure;
}

std::uint32_t GetInfo(RawMailslot reader, MailslotInfo& info) {
    info = MailslotInfo{};
    if (reader == kInvalidMailslot || reader == 0)
        return kErrorInvalidHandle;
    DWORD nextSize = MAILSLOT_NO_MESSAGE;
    DWORD count = 0;
    if (!GetMailslotInfo(ToHandle(reader), nullptr, &nextSize, &count, nullptr)) {
        DWORD error = GetLastError();
        return error != kErrorSuccess ? error : kErrorGenFailure;
    }
    info.nextSize = nextSize;
    info.count = count;
    return kErrorSuccess;
}

std::uint32_t Read(RawMailslot reader, void* buffer, std::uint32_t size, std::uint32_t& bytesRead) {
    bytesRead = 0;
    if (reader == kInvalidMailslot || reader == 0)
        return kErrorInvalidHandle;
    if (buffer == nullptr && size != 0)
        return kErrorInvalidParameter;
    char empty = 0;
    DWORD got = 0;
    if (!ReadFile(ToHandle(reader), buffer != nullptr ? buffer : &empty, size, &got, nullptr)) {
        DWORD error = GetLastError();
        return error != kErrorSuccess ? error : kErrorGenFailure;
    }
    bytesRead = got;
    return kErrorSuccess;
}

}  // namespace kestrel::mailslot
