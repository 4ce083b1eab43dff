// Windows registry: the Reg*W calls. A RawKey is an HKEY, except the two roots, which map to the
// predefined HKEY values.
#include <windows.h>

#include "platform/Registry.h"

namespace kestrel::reg {
namespace {
HKEY AsHkey(RawKey key) {
    if (key == kLocalMachine)
        return HKEY_LOCAL_MACHINE;
    if (key == kCurrentUser)
        return HKEY_CURRENT_USER;
    return reinterpret_cast<HKEY>(key);
}
RawKey AsRaw(HKEY key) {
    return reinterpret_cast<RawKey>(key);
}

std::wstring Terminated(std::wstring_view text) {
    return std::wstring(text);
}

class Win32Registry : public Registry {
  public:
    std::uint32_t OpenKey(RawKey parent, std::wstring_view subKey, std::uint32_t access,
                          RawKey* out) override {
        HKEY key = nullptr;
        LONG result = RegOpenKeyExW(AsHkey(parent), Terminated(subKey).c_str(), 0, access, &key);
        *out = result == ERROR_SUCCESS ? AsRaw(key) : kNoKey;
        return static_cast<std::uint32_t>(result);
    }

    std::uint32_t CreateKey(RawKey parent, std::wstring_view subKey, std::uint32_t access, RawKey* out,
                            bool* created) override {
        HKEY key = nullptr;
        DWORD disposition = 0;
        LONG result = RegCreateKeyExW(AsHkey(parent), Terminated(subKey).c_str(), 0, nullptr,
                                      REG_OPTION_NON_VOLATILE, access, nullptr, &key, &disposition);
        *out = result == ERROR_SUCCESS ? AsRaw(key) : kNoKey;
        if (created != nullptr)
            *created = result == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
        return static_cast<std::uint32_t>(result);
    }

    void CloseKey(RawKey key) noexcept override {
        if (key == kNoKey || key == kLocalMachine || key == kCurrentUser)
            return;
        RegCloseKey(AsHkey(key));
    }

    std::uint32_t QueryValue(RawKey key, std::wstring_view name, Value* out) override {
        std::wstring valueName(name);
        // The value may change between the two calls; try again while it grows.
        for (int attempt = 0; attempt < 8; ++attempt) {
            DWORD type = 0, size = 0;
            LONG result = RegQueryValueExW(AsHkey(key), valueName.c_str(), nullptr, &type, nullptr, &size);
            if (result != ERROR_SUCCESS)
                return static_cast<std::uint32_t>(result);
            std::vector<std::uint8_t> data(size);
            result = RegQueryValueExW(AsHkey(key), valueName.c_str(), nullptr, &type,
                                      data.empty() ? nullptr : data.data(), &size);
            if (result == ERROR_MORE_DATA)
                continue;
            if (result != ERROR_SUCCESS)
                return static_cast<std::uint32_t>(result);
            data.resize(size);
            out->type = type;
            out->data = std::move(data);
            return kErrorSuccess;
        }
        return ERROR_MORE_DATA;
    }

    std::uint32_t SetValue(RawKey key, std::wstring_view name, const Value& value) override {
        if (value.data.size() > 0xFFFFFFFFu)
            return kErrorInvalidParameter;
        return static_cast<std::uint32_t>(RegSetValueExW(AsHkey(key), Terminated(name).c_str(), 0, value.type,
                                                         value.data.empty() ? nullptr : value.data.data(),
                                                         static_cast<DWORD>(value.data.size())));
    }

    std::uint32_t DeleteValue(RawKey key, std::wstring_view name) override {
        return static_cast<std::uint32_t>(RegDeleteValueW(AsHkey(key), Terminated(name).c_str()));
    }

    std::uint32_t EnumKey(RawKey key, std::uint32_t index, std::wstring* name) override {
        wchar_t buffer[kMaxKeyNameLength + 2];
        DWORD length = static_cast<DWORD>(std::size(buffer));
        LONG result = RegEnumKeyExW(AsHkey(key), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
        if (result == ERROR_SUCCESS)
            name->assign(buffer, length);
        return static_cast<std::uint32_t>(result);
    }

    std::uint32_t DeleteKey(RawKey parent, std::wstring_view subKey) override {
        return static_cast<std::uint32_t>(RegDeleteKeyW(AsHkey(parent), Terminated(subKey).c_str()));
    }
};
}  // namespace

Registry& SystemRegistry() {
    static Win32Registry registry;
    return registry;
}

}  // namespace kestrel::reg
