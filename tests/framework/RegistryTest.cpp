// The in-memory registry keeps the rules of the Windows registry that callers rely on.
#include <gtest/gtest.h>

#include "platform/MemoryRegistry.h"

namespace kestrel::reg {
namespace {

TEST(RegistryValue, EncodesAsWindowsStoresAndRejectsDamagedStrings) {
    Value number = Value::Dword(0x01020304);
    EXPECT_EQ(number.data, (std::vector<std::uint8_t>{4, 3, 2, 1}));
    EXPECT_EQ(number.AsDword(), 0x01020304u);
    EXPECT_FALSE(number.AsString());

    Value text = Value::String(L"A\u00e9");
    EXPECT_EQ(text.data, (std::vector<std::uint8_t>{'A', 0, 0xe9, 0, 0, 0}));
    EXPECT_EQ(text.AsString(), L"A\u00e9");
    EXPECT_FALSE(text.AsDword());
    EXPECT_EQ(Value::ExpandString(L"").AsString(), L"");

    Value odd{kRegSz, {'A', 0, 0}};
    Value unterminated{kRegSz, {'A', 0}};
    Value binary{kRegBinary, {0, 0}};
    Value shortNumber{kRegDword, {1, 2}};
    EXPECT_FALSE(odd.AsString());
    EXPECT_FALSE(unterminated.AsString());
    EXPECT_FALSE(binary.AsString());
    EXPECT_FALSE(shortNumber.AsDword());
}

TEST(MemoryRegistry, NamesIgnoreCaseAndKeepIt) {
    MemoryRegistry registry;
    Key key = registry.Create(kLocalMachine, L"Software\\Test\\MixedCase", kKeyAllAccess);
    ASSERT_TRUE(key);
    EXPECT_EQ(registry.SetValue(key.get(), L"Count", Value::Dword(3)), kErrorSuccess);
    EXPECT_EQ(registry.SetValue(key.get(), L"COUNT", Value::Dword(4)), kErrorSuccess);  // same value

    Key again = registry.Open(kLocalMachine, L"SOFTWARE\\test\\mixedcase", kKeyRead);
    ASSERT_TRUE(again);
    Value value;
    ASSERT_EQ(registry.QueryValue(again.get(), L"count", &value), kErrorSuccess);
    EXPECT_EQ(value.AsDword(), 4u);

    Key parent = registry.Open(kLocalMachine, L"software\\TEST", kKeyRead);
    std::wstring name;
    EXPECT_EQ(registry.EnumKey(parent.get(), 0, &name), kErrorSuccess);
    EXPECT_EQ(name, L"MixedCase");
    EXPECT_EQ(registry.EnumKey(parent.get(), 1, &name), kErrorNoMoreItems);
    // The other root is a separate tree.
    EXPECT_FALSE(registry.Open(kCurrentUser, L"Software\\Test", kKeyRead));
}

TEST(MemoryRegistry, AccessRightsAndPathsAreCheckedAsOnWindows) {
    MemoryRegistry registry;
    ASSERT_TRUE(registry.Create(kLocalMachine, L"A\\B", kKeyAllAccess));
    Key readOnly = registry.Open(kLocalMachine, L"A", kKeyRead);
    EXPECT_EQ(registry.SetValue(readOnly.get(), L"x", Value::Dword(1)), kErrorAccessDenied);
    RawKey raw = kNoKey;
    EXPECT_EQ(registry.CreateKey(readOnly.get(), L"New", kKeyAllAccess, &raw), kErrorAccessDenied);
    bool created = true;
    EXPECT_EQ(registry.CreateKey(readOnly.get(), L"B", kKeyRead, &raw, &created), kErrorSuccess);  // exists
    EXPECT_FALSE(created);
    registry.CloseKey(raw);
    Key writeOnly = registry.Open(kLocalMachine, L"A", kKeyWrite);
    Value value;
    EXPECT_EQ(registry.QueryValue(writeOnly.get(), L"x", &value), kErrorAccessDenied);
    std::wstring name;
    EXPECT_EQ(registry.EnumKey(writeOnly.get(), 0, &name), kErrorAccessDenied);

    EXPECT_EQ(registry.CreateKey(kLocalMachine, L"\\Leading", kKeyAllAccess, &raw), kErrorBadPathname);
    EXPECT_EQ(registry.CreateKey(kLocalMachine, L"A\\\\B", kKeyAllAccess, &raw), kErrorBadPathname);
    EXPECT_EQ(registry.CreateKey(kLocalMachine, std::wstring(256, L'k'), kKeyAllAccess, &raw),
              kErrorBadPathname);
    EXPECT_EQ(registry.OpenKey(kLocalMachine, L"Missing", kKeyRead, &raw), kErrorFileNotFound);
    EXPECT_EQ(registry.QueryValue(12345, L"x", &value), kErrorInvalidHandle);
    EXPECT_EQ(registry.OpenHandleCount(), 2u);
}

TEST(MemoryRegistry, DeleteKeyNeedsALeafAndDeleteTreeTakesEverything) {
    MemoryRegistry registry;
    Key deep = registry.Create(kLocalMachine, L"Root\\Middle\\Leaf1", kKeyAllAccess);
    registry.SetValue(deep.get(), L"v", Value::String(L"text"));
    registry.Create(kLocalMachine, L"Root\\Middle\\Leaf2", kKeyAllAccess);
    registry.Create(kLocalMachine, L"Root\\Other", kKeyAllAccess);
    registry.Create(kLocalMachine, L"Sibling", kKeyAllAccess);

    EXPECT_EQ(registry.DeleteKey(kLocalMachine, L"Root\\Middle"), kErrorAccessDenied);
    EXPECT_EQ(registry.DeleteKey(kLocalMachine, L"Root\\Nothing"), kErrorFileNotFound);
    EXPECT_EQ(registry.DeleteTree(kLocalMachine, L"Root"), kErrorSuccess);
    EXPECT_FALSE(registry.Open(kLocalMachine, L"Root", kKeyRead));
    EXPECT_TRUE(registry.Open(kLocalMachine, L"Sibling", kKeyRead));
    EXPECT_EQ(registry.DeleteTree(kLocalMachine, L"Root"), kErrorFileNotFound);

    // A handle to a deleted key fails cleanly.
    Value value;
    EXPECT_EQ(registry.QueryValue(deep.get(), L"v", &value), kErrorKeyDeleted);
    EXPECT_EQ(registry.SetValue(deep.get(), L"v", Value::Dword(1)), kErrorKeyDeleted);
}

TEST(MemoryRegistry, ValuesCanBeReplacedRetypedAndDeleted) {
    MemoryRegistry registry;
    Key key = registry.Create(kLocalMachine, L"K", kKeyAllAccess);
    registry.SetValue(key.get(), L"Start", Value::String(L"zero"));
    registry.SetValue(key.get(), L"Start", Value::Dword(0));
    registry.SetValue(key.get(), L"", Value::String(L"default"));
    Value value;
    ASSERT_EQ(registry.QueryValue(key.get(), L"Start", &value), kErrorSuccess);
    EXPECT_EQ(value, Value::Dword(0));
    ASSERT_EQ(registry.QueryValue(key.get(), L"", &value), kErrorSuccess);
    EXPECT_EQ(value.AsString(), L"default");
    EXPECT_EQ(registry.DeleteValue(key.get(), L"start"), kErrorSuccess);
    EXPECT_EQ(registry.DeleteValue(key.get(), L"Start"), kErrorFileNotFound);
    EXPECT_EQ(registry.QueryValue(key.get(), L"Start", &value), kErrorFileNotFound);

    // A batch writes every value, or, through a handle without the right, none.
    EXPECT_EQ(registry.SetValues(key.get(), {{L"a", Value::Dword(1)}, {L"B", Value::String(L"b")}}),
              kErrorSuccess);
    ASSERT_EQ(registry.QueryValue(key.get(), L"b", &value), kErrorSuccess);
    EXPECT_EQ(value.AsString(), L"b");
    Key readOnly = registry.Open(kLocalMachine, L"K", kKeyRead);
    EXPECT_EQ(registry.SetValues(readOnly.get(), {{L"c", Value::Dword(3)}}), kErrorAccessDenied);
    EXPECT_EQ(registry.QueryValue(key.get(), L"c", &value), kErrorFileNotFound);
}

}  // namespace
}  // namespace kestrel::reg
