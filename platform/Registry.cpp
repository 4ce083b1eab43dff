// The portable part of the registry boundary: value encoding and the operations built on the interface.
#include "platform/Registry.h"

#include "common/Utf16.h"

namespace kestrel::reg {
namespace {
Value StringValue(std::uint32_t type, std::wstring_view text) {
    Value value;
    value.type = type;
    std::u16string units = ToUtf16(text);
    value.data.reserve((units.size() + 1) * 2);
    for (char16_t unit : units) {
        value.data.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        value.data.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    value.data.push_back(0);
    value.data.push_back(0);
    return value;
}
}  // namespace

Value Value::Dword(std::uint32_t number) {
    Value value;
    value.type = kRegDword;
    for (int shift = 0; shift < 32; shift += 8)
        value.data.push_back(static_cast<std::uint8_t>(number >> shift));
    return value;
}

Value Value::String(std::wstring_view text) {
    return StringValue(kRegSz, text);
}
Value Value::ExpandString(std::wstring_view text) {
    return StringValue(kRegExpandSz, text);
}

std::optional<std::uint32_t> Value::AsDword() const {
    if (type != kRegDword || data.size() != 4)
        return std::nullopt;
    return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
           static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

std::optional<std::wstring> Value::AsString() const {
    if (type != kRegSz && type != kRegExpandSz)
        return std::nullopt;
    if (data.size() < 2 || data.size() % 2 != 0)
        return std::nullopt;
    if (data[data.size() - 1] != 0 || data[data.size() - 2] != 0)
        return std::nullopt;
    std::u16string units;
    units.reserve(data.size() / 2 - 1);
    for (std::size_t i = 0; i + 2 < data.size(); i += 2) {
        units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
    }
    return FromUtf16(units);
}

std::uint32_t Registry::SetValues(RawKey key, const std::vector<NamedValue>& values) {
    for (const auto& [name, value] : values) {
        if (std::uint32_t error = SetValue(key, name, value); error != kErrorSuccess)
            return error;
    }
    return kErrorSuccess;
}

std::uint32_t Registry::DeleteTree(RawKey parent, std::wstring_view subKey) {
    std::uint32_t error = kErrorSuccess;
    Key key = Open(parent, subKey, kKeyRead | kDelete, &error);
    if (!key)
        return error;
    for (;;) {
        std::wstring child;
        error = EnumKey(key.get(), 0, &child);
        if (error == kErrorNoMoreItems)
            break;
        if (error != kErrorSuccess)
            return error;
        error = DeleteTree(key.get(), child);
        if (error != kErrorSuccess)
            return error;
    }
    key.reset();
    return DeleteKey(parent, subKey);
}

Key Registry::Open(RawKey parent, std::wstring_view subKey, std::uint32_t access, std::uint32_t* error) {
    RawKey raw = kNoKey;
    std::uint32_t result = OpenKey(parent, subKey, access, &raw);
    if (error != nullptr)
        *error = result;
    return Own(result == kErrorSuccess ? raw : kNoKey);
}

Key Registry::Create(RawKey parent, std::wstring_view subKey, std::uint32_t access, std::uint32_t* error) {
    RawKey raw = kNoKey;
    std::uint32_t result = CreateKey(parent, subKey, access, &raw);
    if (error != nullptr)
        *error = result;
    return Own(result == kErrorSuccess ? raw : kNoKey);
}

}  // namespace kestrel::reg
