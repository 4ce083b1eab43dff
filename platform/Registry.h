// The registry boundary: keys holding typed values, addressed by paths below two predefined roots.
//
// Windows uses the real registry (Reg*W). The host keeps the same tree in a file (see
// platform/host/Registry.cpp) and tests use MemoryRegistry; both follow the Windows rules that callers
// rely on: key and value names are compared without regard to case and keep the case they were created
// with, a key with subkeys cannot be deleted by DeleteKey, subkeys are enumerated by index until
// kErrorNoMoreItems, and every result is a Win32 error code (kErrorSuccess = 0).
//
// Value data is kept exactly as Windows stores it: strings are UTF-16LE code units including their
// terminating NUL, a REG_DWORD is four little-endian bytes. The bytes are therefore the same on every
// target, and a reader can tell a well-formed string from a damaged one.
//
// All methods may be called from several threads at once. A key handle is owned by whoever opened it and
// is closed with CloseKey (or by a Key wrapper); it may be used from any thread until then.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/Handle.h"
#include "platform/SystemError.h"

namespace kestrel::reg {

// A raw key handle. 0 owns nothing; the two roots are reserved values (the low 32 bits of the Windows
// predefined keys) and are never closed.
using RawKey = std::uintptr_t;
inline constexpr RawKey kNoKey = 0;
inline constexpr RawKey kCurrentUser = 0x80000001;   // HKEY_CURRENT_USER
inline constexpr RawKey kLocalMachine = 0x80000002;  // HKEY_LOCAL_MACHINE

// Access rights, with the values of the Windows SDK.
inline constexpr std::uint32_t kKeyQueryValue = 0x0001;
inline constexpr std::uint32_t kKeySetValue = 0x0002;
inline constexpr std::uint32_t kKeyCreateSubKey = 0x0004;
inline constexpr std::uint32_t kKeyEnumerateSubKeys = 0x0008;
inline constexpr std::uint32_t kKeyNotify = 0x0010;
inline constexpr std::uint32_t kReadControl = 0x00020000;
inline constexpr std::uint32_t kDelete = 0x00010000;
inline constexpr std::uint32_t kKeyRead = kReadControl | kKeyQueryValue | kKeyEnumerateSubKeys | kKeyNotify;
inline constexpr std::uint32_t kKeyWrite = kReadControl | kKeySetValue | kKeyCreateSubKey;
inline constexpr std::uint32_t kKeyAllAccess = 0x000F003F;

// Value types, with the values of the Windows SDK.
inline constexpr std::uint32_t kRegNone = 0;
inline constexpr std::uint32_t kRegSz = 1;
inline constexpr std::uint32_t kRegExpandSz = 2;
inline constexpr std::uint32_t kRegBinary = 3;
inline constexpr std::uint32_t kRegDword = 4;

// Win32 error codes (platform/SystemError.h).
using namespace kestrel::errors;

// The longest key name (one path component), in characters.
inline constexpr std::size_t kMaxKeyNameLength = 255;

// One typed value.
struct Value {
    std::uint32_t type = kRegNone;
    std::vector<std::uint8_t> data;  // exactly as stored

    static Value Dword(std::uint32_t value);
    // A REG_SZ / REG_EXPAND_SZ value: the text as UTF-16LE with its terminating NUL.
    static Value String(std::wstring_view text);
    static Value ExpandString(std::wstring_view text);

    // The number, when this is a REG_DWORD of four bytes.
    std::optional<std::uint32_t> AsDword() const;
    // The text, when this is a REG_SZ or REG_EXPAND_SZ whose byte length is even and whose last code unit
    // is NUL (the NUL is not part of the text). Anything else gives nothing.
    std::optional<std::wstring> AsString() const;

    friend bool operator==(const Value&, const Value&) = default;
};

class Registry;

// Closes a key through the registry that opened it.
struct KeyTraits {
    using value_type = RawKey;
    Registry* owner = nullptr;
    static RawKey Invalid() noexcept { return kNoKey; }
    void Close(RawKey key) const noexcept;
};
using Key = UniqueHandle<KeyTraits>;

class Registry {
  public:
    virtual ~Registry() = default;

    // Opens the existing key `subKey` (a path of names separated by "\"; empty opens `parent` again)
    // below `parent`, which is a root or an open key. On success `*out` receives a new handle the caller
    // owns. Errors: kErrorFileNotFound when the key does not exist, kErrorInvalidHandle for a bad parent.
    virtual std::uint32_t OpenKey(RawKey parent, std::wstring_view subKey, std::uint32_t access,
                                  RawKey* out) = 0;

    // Opens `subKey` below `parent`, creating it and any missing keys on the way. `*created` (may be
    // null) tells whether the last key was new. A path that starts with "\" or has an empty name in it is
    // refused with kErrorBadPathname.
    virtual std::uint32_t CreateKey(RawKey parent, std::wstring_view subKey, std::uint32_t access,
                                    RawKey* out, bool* created = nullptr) = 0;

    // Releases a handle from OpenKey or CreateKey. Roots and kNoKey are ignored.
    virtual void CloseKey(RawKey key) noexcept = 0;

    // Reads a value ("" names the key's default value). kErrorFileNotFound when it does not exist.
    virtual std::uint32_t QueryValue(RawKey key, std::wstring_view name, Value* out) = 0;

    // Writes (creates or replaces) a value.
    virtual std::uint32_t SetValue(RawKey key, std::wstring_view name, const Value& value) = 0;

    // Writes several values of one key, in order. This one writes them one after another and stops at
    // the first failure, which it returns (the values before it stay written); a store that saves itself
    // on every change (the host's file) overrides it to save once for all of them, and then either all
    // are written or none.
    using NamedValue = std::pair<std::wstring, Value>;
    virtual std::uint32_t SetValues(RawKey key, const std::vector<NamedValue>& values);

    // Removes a value. kErrorFileNotFound when it does not exist.
    virtual std::uint32_t DeleteValue(RawKey key, std::wstring_view name) = 0;

    // The name of the subkey at `index` (0 first, in the store's order). kErrorNoMoreItems past the last.
    virtual std::uint32_t EnumKey(RawKey key, std::uint32_t index, std::wstring* name) = 0;

    // Deletes `subKey` below `parent`. The key must have no subkeys (kErrorAccessDenied otherwise);
    // its values go with it.
    virtual std::uint32_t DeleteKey(RawKey parent, std::wstring_view subKey) = 0;

    // Deletes `subKey` with all its subkeys: the first subkey is enumerated and deleted the same way
    // until none is left, then the key itself. The first failure stops the deletion and is returned.
    std::uint32_t DeleteTree(RawKey parent, std::wstring_view subKey);

    // Conveniences that own the handle.
    Key Own(RawKey key) { return Key(key, KeyTraits{this}); }
    Key Open(RawKey parent, std::wstring_view subKey, std::uint32_t access, std::uint32_t* error = nullptr);
    Key Create(RawKey parent, std::wstring_view subKey, std::uint32_t access, std::uint32_t* error = nullptr);
};

inline void KeyTraits::Close(RawKey key) const noexcept {
    if (owner != nullptr)
        owner->CloseKey(key);
}

// The registry of this process: the real one on Windows; on the host, the file-backed store in the
// state directory. Created on first use; lives until the process ends.
Registry& SystemRegistry();

}  // namespace kestrel::reg
