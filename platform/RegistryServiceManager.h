// A service manager's record of installed services kept in a registry, under the key paths Windows uses:
// HKEY_LOCAL_MACHINE "SYSTEM\CurrentControlSet\Services\<name>" with the values "Type", "Start",
// "ErrorControl", "ImagePath", "DisplayName" and "ObjectName". A service counts as installed when its key
// holds "Type" and "ImagePath" (other code may create the key for its own subkeys, as a service's
// "Parameters"). Deleting a service deletes its key with everything below it, as Windows does.
//
// The host's service host keeps its installed services here (in the host registry store); tests use it
// over a MemoryRegistry. It only records: nothing is started. Thread-safe.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "platform/Registry.h"
#include "platform/ServiceHost.h"

namespace kestrel::svc {

inline constexpr wchar_t kServicesKeyPath[] = L"SYSTEM\\CurrentControlSet\\Services";

class RegistryServiceManager {
  public:
    explicit RegistryServiceManager(reg::Registry& registry) : registry_(registry) {}

    // The contracts of ServiceHost's methods of the same names; on failure `*error` receives the Win32
    // error code.
    ScHandle OpenManager(std::uint32_t access, std::uint32_t* error);
    ScHandle OpenServiceRecord(ScHandle manager, const std::wstring& name, std::uint32_t access,
                               std::uint32_t* error);
    ScHandle CreateServiceRecord(ScHandle manager, const ServiceConfig& config, std::uint32_t* error);
    bool DeleteServiceRecord(ScHandle service, std::uint32_t* error);
    void CloseServiceHandle(ScHandle handle) noexcept;

    // Whether `name` is installed, without handles.
    bool IsInstalled(const std::wstring& name);

    reg::Registry& registry() { return registry_; }

  private:
    struct Entry {
        bool manager = false;
        std::wstring name;
        std::uint32_t access = 0;
    };
    ScHandle Add(Entry entry);
    bool Find(ScHandle handle, Entry* entry);

    reg::Registry& registry_;
    std::mutex mutex_;
    std::map<ScHandle, Entry> handles_;
    ScHandle next_ = 1;
};

}  // namespace kestrel::svc
