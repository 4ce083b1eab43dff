#include "platform/RegistryServiceManager.h"

namespace kestrel::svc {
namespace {
constexpr std::size_t kMaxServiceName = 256;

bool ValidName(const std::wstring& name) {
    return !name.empty() && name.size() <= kMaxServiceName &&
           name.find_first_of(L"\\/") == std::wstring::npos;
}

std::wstring ServiceKey(const std::wstring& name) {
    return std::wstring(kServicesKeyPath) + L"\\" + name;
}
}  // namespace

ScHandle RegistryServiceManager::Add(Entry entry) {
    std::lock_guard lock(mutex_);
    ScHandle handle = next_++;
    handles_[handle] = std::move(entry);
    return handle;
}

bool RegistryServiceManager::Find(ScHandle handle, Entry* entry) {
    std::lock_guard lock(mutex_);
    auto it = handles_.find(handle);
    if (it == handles_.end())
        return false;
    *entry = it->second;
    return true;
}

bool RegistryServiceManager::IsInstalled(const std::wstring& name) {
    if (!ValidName(name))
        return false;
    reg::Key key = registry_.Open(reg::kLocalMachine, ServiceKey(name), reg::kKeyRead);
    if (!key)
        return false;
    reg::Value type, image;
    return registry_.QueryValue(key.get(), L"Type", &type) == reg::kErrorSuccess && type.AsDword() &&
           registry_.QueryValue(key.get(), L"ImagePath", &image) == reg::kErrorSuccess;
}

ScHandle RegistryServiceManager::OpenManager(std::uint32_t access, std::uint32_t*) {
    return Add(Entry{true, L"", access});
}

ScHandle RegistryServiceManager::OpenServiceRecord(ScHandle manager, const std::wstring& name,
                                                   std::uint32_t access, std::uint32_t* error) {
    Entry entry;
    if (!Find(manager, &entry) || !entry.manager) {
        *error = kErrorInvalidHandle;
        return 0;
    }
    if (!ValidName(name)) {
        *error = kErrorInvalidName;
        return 0;
    }
    if (!IsInstalled(name)) {
        *error = kErrorServiceDoesNotExist;
        return 0;
    }
    return Add(Entry{false, name, access});
}

ScHandle RegistryServiceManager::CreateServiceRecord(ScHandle manager, const ServiceConfig& config,
                                                     std::uint32_t* error) {
    Entry entry;
    if (!Find(manager, &entry) || !entry.manager) {
        *error = kErrorInvalidHandle;
        return 0;
    }
    if (!ValidName(config.name)) {
        *error = kErrorInvalidName;
        return 0;
    }
    if (IsInstalled(config.name)) {
        *error = kErrorServiceExists;
        return 0;
    }
    std::uint32_t result = reg::kErrorSuccess;
    reg::Key key = registry_.Create(reg::kLocalMachine, ServiceKey(config.name), reg::kKeyAllAccess, &result);
    if (!key) {
        *error = result;
        return 0;
    }
    const std::pair<const wchar_t*, reg::Value> values[] = {
        {L"Type", reg::Value::Dword(config.serviceType)},
        {L"Start", reg::Value::Dword(config.startType)},
        {L"ErrorControl", reg::Value::Dword(config.errorControl)},
        {L"DisplayName", reg::Value::String(config.displayName)},
        {L"ObjectName", reg::Value::String(L"LocalSystem")},
        // Written last: with it the service counts as installed.
        {L"ImagePath", reg::Value::ExpandString(config.imagePath)},
    };
    for (const auto& [name, value] : values) {
        result = registry_.SetValue(key.get(), name, value);
        if (result != reg::kErrorSuccess) {
            *error = result;
            return 0;
        }
    }
    return Add(Entry{false, config.name, config.access});
}

bool RegistryServiceManager::DeleteServiceRecord(ScHandle service, std::uint32_t* error) {
    Entry entry;
    if (!Find(service, &entry) || entry.manager) {
        *error = kErrorInvalidHandle;
        return false;
    }
    if ((entry.access & kServiceDelete) == 0) {
        *error = kErrorAccessDenied;
        return false;
    }
    if (!IsInstalled(entry.name)) {
        *error = kErrorServiceMarkedForDelete;
        return false;
    }
    std::uint32_t result = registry_.DeleteTree(reg::kLocalMachine, ServiceKey(entry.name));
    if (result != reg::kErrorSuccess) {
        *error = result;
        return false;
    }
    return true;
}

void RegistryServiceManager::CloseServiceHandle(ScHandle handle) noexcept {
    std::lock_guard lock(mutex_);
    handles_.erase(handle);
}

}  // namespace kestrel::svc
