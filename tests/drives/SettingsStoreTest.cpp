// The settings store against every registry it runs on: the layout of keys, names and types, the
// defaults, the exclusion list and the saved queues, and stored data that does not follow the rules.
#include <gtest/gtest.h>

#include <optional>

#include "common/Utf16.h"
#include "platform/MemoryRegistry.h"
#include "service/drives/SettingsStore.h"
#include "tests/drives/StoreBackends.h"

namespace kestrel::drives {
namespace {

class MemoryBackend : public StoreBackend {
  public:
    reg::Registry& registry() override { return registry_; }
    std::wstring parametersPath() const override { return std::wstring(kParametersPath); }

  private:
    reg::MemoryRegistry registry_;
};

std::vector<BackendKind> AllBackends() {
    std::vector<BackendKind> kinds{
        {"Memory", [] { return std::unique_ptr<StoreBackend>(new MemoryBackend); }}};
    for (const BackendKind& kind : PlatformBackends())
        kinds.push_back(kind);
    return kinds;
}

class SettingsStoreTest : public ::testing::TestWithParam<BackendKind> {
  protected:
    SettingsStoreTest()
        : backend(GetParam().make()),
          reg(backend->registry()),
          store(reg, reg::kLocalMachine, backend->parametersPath()) {}

    std::wstring Path(std::wstring_view sub) const {
        return sub.empty() ? store.parametersPath() : store.parametersPath() + L"\\" + std::wstring(sub);
    }
    std::optional<reg::Value> Get(std::wstring_view key, std::wstring_view name) {
        reg::Key k = reg.Open(reg::kLocalMachine, Path(key), reg::kKeyRead);
        reg::Value value;
        if (!k || reg.QueryValue(k.get(), name, &value) != reg::kErrorSuccess)
            return std::nullopt;
        return value;
    }
    void Put(std::wstring_view key, std::wstring_view name, const reg::Value& value) {
        reg::Key k = reg.Create(reg::kLocalMachine, Path(key), reg::kKeyAllAccess);
        ASSERT_EQ(reg.SetValue(k.get(), name, value), reg::kErrorSuccess);
    }
    bool Exists(std::wstring_view key) {
        return static_cast<bool>(reg.Open(reg::kLocalMachine, Path(key), reg::kKeyRead));
    }
    std::vector<std::wstring> Subkeys(std::wstring_view key) {
        std::vector<std::wstring> names;
        reg::Key k = reg.Open(reg::kLocalMachine, Path(key), reg::kKeyRead);
        std::wstring name;
        while (k &&
               reg.EnumKey(k.get(), static_cast<std::uint32_t>(names.size()), &name) == reg::kErrorSuccess)
            names.push_back(name);
        return names;
    }
    std::vector<std::wstring> Restore(int index) {
        std::vector<std::wstring> paths;
        std::size_t count = store.RestoreQueue(index, [&](const std::wstring& p) { paths.push_back(p); });
        EXPECT_EQ(count, paths.size());
        return paths;
    }
    static reg::Value Raw(std::uint32_t type, std::vector<std::uint8_t> bytes) {
        return reg::Value{type, std::move(bytes)};
    }

    std::unique_ptr<StoreBackend> backend;
    reg::Registry& reg;
    SettingsStore store;
};

TEST_P(SettingsStoreTest, AFreshStoreWatchesEveryDriveWithMoveOnAndWritesLifeTimeZero) {
    ASSERT_TRUE(store.CreateKeys());
    EXPECT_TRUE(Exists(L"WatchingDrives"));
    for (int index = 1; index <= 26; ++index) {
        std::wstring root{static_cast<wchar_t>(L'A' + index - 1), L':', L'\\'};
        EXPECT_TRUE(store.IsWatching(root)) << index;
        EXPECT_EQ(store.ReadMove(index), 1u) << index;
    }
    EXPECT_EQ(store.LoadLifeTime(), 0);
    EXPECT_EQ(Get(L"", L"LifeTime"), reg::Value::Dword(0));
    EXPECT_TRUE(store.GetExclusions(L"C:\\").empty());
    EXPECT_TRUE(Restore(3).empty());
    EXPECT_FALSE(Exists(L"FilesFor C"));
}

TEST_P(SettingsStoreTest, WatchingMoveAndLifeTimeAreStoredAsDwordsUnderTheirNames) {
    store.StopWatching(L"C:\\");
    store.SetWatching(L"Z");
    EXPECT_EQ(Get(L"WatchingDrives", L"3"), reg::Value::Dword(0));
    EXPECT_EQ(Get(L"WatchingDrives", L"26"), reg::Value::Dword(1));
    EXPECT_FALSE(store.IsWatching(L"C:\\"));
    EXPECT_FALSE(store.IsWatching(3));
    EXPECT_TRUE(store.IsWatching(L"Z:\\"));
    Put(L"WatchingDrives", L"4", reg::Value::String(L"0"));  // not a REG_DWORD: counts as absent
    EXPECT_TRUE(store.IsWatching(L"D:\\"));

    store.WriteMove(L"D:\\", 0);
    EXPECT_EQ(Get(L"D", L"Move"), reg::Value::Dword(0));
    EXPECT_EQ(store.ReadMove(4), 0u);
    EXPECT_EQ(store.ReadMove(L"D"), 0u);
    EXPECT_EQ(store.ReadMove(L"C:\\"), 1u);
    Put(L"E", L"Move", reg::Value::String(L"0"));
    EXPECT_EQ(store.ReadMove(5), 1u);

    Put(L"", L"LifeTime", reg::Value::String(L"55"));
    EXPECT_EQ(store.LoadLifeTime(), 0);
    EXPECT_EQ(Get(L"", L"LifeTime"), reg::Value::Dword(0));
    store.SaveLifeTime(-2);
    EXPECT_EQ(Get(L"", L"LifeTime"), reg::Value::Dword(0xFFFFFFFEu));
    EXPECT_EQ(store.LoadLifeTime(), -2);
}

TEST_P(SettingsStoreTest, SaveLifeTimeNeverCreatesTheParametersKey) {
    store.SaveLifeTime(7);
    EXPECT_FALSE(Exists(L""));
}

TEST_P(SettingsStoreTest, ExclusionsAreUpperCaseUniqueAndRenumberedWithoutGaps) {
    std::vector<std::wstring> handed;
    auto sink = [&](const std::wstring& p) { handed.push_back(p); };
    EXPECT_TRUE(store.AddExclusion(L"C:\\", L"c:\\temp\\cach\u00e9", sink));
    EXPECT_EQ(Get(L"C", L"0"), reg::Value::String(L"C:\\TEMP\\CACH\u00c9"));
    EXPECT_FALSE(store.AddExclusion(L"C:\\", L"C:\\Temp\\CACH\u00e9", sink));
    EXPECT_FALSE(Get(L"C", L"1"));
    EXPECT_FALSE(store.AddExclusion(L"C:\\", L"", sink));  // would exclude the whole drive
    EXPECT_TRUE(store.AddExclusion(L"C", L"\\pagefile", sink));
    EXPECT_TRUE(store.AddExclusion(L"C", L"~tmp", sink));
    EXPECT_EQ(handed, (std::vector<std::wstring>{L"C:\\TEMP\\CACH\u00c9", L"\\PAGEFILE", L"~TMP"}));

    const std::vector<std::wstring> all = handed;
    handed.clear();
    EXPECT_EQ(store.GetExclusions(L"C:\\", sink), all);
    EXPECT_EQ(handed, all);
    EXPECT_TRUE(store.GetExclusions(L"D:\\").empty());

    std::vector<std::wstring> remaining;
    EXPECT_TRUE(store.RemoveExclusion(L"C:\\", L"\\PageFile", &remaining));
    EXPECT_EQ(remaining, (std::vector<std::wstring>{L"C:\\TEMP\\CACH\u00c9", L"~TMP"}));
    EXPECT_EQ(Get(L"C", L"0"), reg::Value::String(L"C:\\TEMP\\CACH\u00c9"));
    EXPECT_EQ(Get(L"C", L"1"), reg::Value::String(L"~TMP"));
    EXPECT_FALSE(Get(L"C", L"2"));
    EXPECT_FALSE(store.RemoveExclusion(L"C:\\", L"\\pagefile"));
    EXPECT_TRUE(store.RemoveExclusion(L"C:\\", L"c:\\temp\\cach\u00e9"));
    EXPECT_EQ(store.GetExclusions(L"C:\\"), std::vector<std::wstring>{L"~TMP"});
    EXPECT_TRUE(store.RemoveExclusion(L"C:\\", L"~tmp", &remaining));
    EXPECT_TRUE(remaining.empty());
    EXPECT_FALSE(Get(L"C", L"0"));
}

// A path of `units` UTF-16 code units, distinct for each `n`.
std::wstring PathOfUnits(std::size_t units, std::size_t n) {
    std::wstring path = L"C:\\" + std::to_wstring(n) + L"\\";
    path.resize(units, L'X');
    return path;
}

TEST_P(SettingsStoreTest, ExclusionsAreBoundedInNumberAndLengthAndHoldNoSeparator) {
    using Add = SettingsStore::ExclusionAdd;
    std::vector<std::wstring> handed;
    auto sink = [&](const std::wstring& p) { handed.push_back(p); };
    // One code unit too long, and a ";" that the reply line would split into two entries: refused,
    // nothing stored, nothing handed over.
    EXPECT_EQ(store.TryAddExclusion(L"C", PathOfUnits(101, 0), sink), Add::TooLong);
    EXPECT_EQ(store.TryAddExclusion(L"C", L"c:\\a;b", sink), Add::Separator);
    EXPECT_EQ(store.TryAddExclusion(L"C", L";", sink), Add::Separator);
    EXPECT_EQ(store.TryAddExclusion(L"C", L"", sink), Add::Empty);
    EXPECT_FALSE(Get(L"C", L"0"));
    EXPECT_TRUE(handed.empty());
    // Length is counted in UTF-16 code units: 50 characters beyond the Basic Multilingual Plane take
    // 100, one more character is one too many.
    std::wstring wide;
    for (int i = 0; i < 50; ++i)
        wide += FromUtf16(u"\U0001F600");
    EXPECT_EQ(store.TryAddExclusion(L"C", wide + L"X", sink), Add::TooLong);
    EXPECT_EQ(store.TryAddExclusion(L"C", wide, sink), Add::Added);

    // Nine more of the longest length fill the list; the eleventh is refused, even a short one.
    std::vector<std::wstring> all{wide};
    for (std::size_t n = 1; n < 10; ++n) {
        all.push_back(PathOfUnits(100, n));
        EXPECT_EQ(store.TryAddExclusion(L"C", all.back(), sink), Add::Added) << n;
    }
    EXPECT_EQ(store.TryAddExclusion(L"C", L"\\SHORT", sink), Add::ListFull);
    EXPECT_FALSE(store.AddExclusion(L"C", L"\\SHORT", sink));
    EXPECT_EQ(store.TryAddExclusion(L"C", all[4], sink), Add::Listed);
    EXPECT_FALSE(Get(L"C", L"10"));
    EXPECT_EQ(handed, all);
    EXPECT_EQ(store.GetExclusions(L"C"), all);
    // Removing one makes room for one.
    EXPECT_TRUE(store.RemoveExclusion(L"C", all[0]));
    EXPECT_EQ(store.TryAddExclusion(L"C", L"\\short", sink), Add::Added);
    EXPECT_EQ(Get(L"C", L"9"), reg::Value::String(L"\\SHORT"));
}

TEST_P(SettingsStoreTest, AStoreWrittenBeyondTheBoundsLoadsOnlyWhatFitsAndKeepsTheRest) {
    // Twelve values as a store written before the bounds may hold them: value 2 too long, value 4 with
    // a ";", value 6 empty.
    std::vector<std::wstring> stored;
    for (std::size_t n = 0; n < 12; ++n)
        stored.push_back(L"\\OLD" + std::to_wstring(n));
    stored[2] = std::wstring(900, L'L');
    stored[4] = L"C:\\A;B";
    stored[6] = L"";
    for (std::size_t n = 0; n < stored.size(); ++n)
        Put(L"C", std::to_wstring(n), reg::Value::String(stored[n]));

    // In force: the usable ones among the first ten values.
    const std::vector<std::wstring> inForce{stored[0], stored[1], stored[3], stored[5],
                                            stored[7], stored[8], stored[9]};
    std::vector<std::wstring> handed;
    EXPECT_EQ(store.GetExclusions(L"C", [&](const std::wstring& p) { handed.push_back(p); }), inForce);
    EXPECT_EQ(handed, inForce);
    // The list is full; nothing is overwritten or added.
    EXPECT_FALSE(store.AddExclusion(L"C", L"\\NEW"));
    for (std::size_t n = 0; n < stored.size(); ++n)
        EXPECT_EQ(Get(L"C", std::to_wstring(n)), reg::Value::String(stored[n])) << n;
    EXPECT_FALSE(Get(L"C", L"12"));

    // Every stored value can still be removed by name, the long one too; what moves into the first ten
    // comes into force.
    std::vector<std::wstring> remaining;
    ASSERT_TRUE(store.RemoveExclusion(L"C", stored[2], &remaining));
    EXPECT_EQ(remaining, (std::vector<std::wstring>{stored[0], stored[1], stored[3], stored[5], stored[7],
                                                    stored[8], stored[9], stored[10]}));
    EXPECT_EQ(store.GetExclusions(L"C"), remaining);
    ASSERT_TRUE(store.RemoveExclusion(L"C", stored[11]));
    EXPECT_EQ(Get(L"C", L"9"), reg::Value::String(stored[10]));
    EXPECT_FALSE(Get(L"C", L"10"));
    // Ten values are stored: the two unusable ones still take their places, and the list is full until
    // one of them goes too.
    EXPECT_FALSE(store.AddExclusion(L"C", L"\\NEW"));
    ASSERT_TRUE(store.RemoveExclusion(L"C", stored[4]));
    EXPECT_TRUE(store.AddExclusion(L"C", L"\\NEW"));
    EXPECT_EQ(Get(L"C", L"9"), reg::Value::String(L"\\NEW"));
}

TEST_P(SettingsStoreTest, ASavedQueueComesBackInNumberOrderAndItsKeyIsDeleted) {
    store.SaveQueue(L"C:\\", {L"C:\\a.txt", L"C:\\dir\\b.bin", L"C:\\c"});
    EXPECT_EQ(Get(L"FilesFor C", L"2"), reg::Value::String(L"C:\\c"));
    Put(L"FilesFor C\\Leftover", L"x", reg::Value::Dword(1));  // the deletion takes subkeys too
    EXPECT_EQ(Restore(3), (std::vector<std::wstring>{L"C:\\a.txt", L"C:\\dir\\b.bin", L"C:\\c"}));
    EXPECT_FALSE(Exists(L"FilesFor C"));
    EXPECT_TRUE(Restore(3).empty());

    // Paths that could never be restored are left out rather than ending the restore early.
    store.SaveQueue(L"D", {L"D:\\1", L"", std::wstring(2048, L'x'), std::wstring(2047, L'y')});
    EXPECT_EQ(Restore(4), (std::vector<std::wstring>{L"D:\\1", std::wstring(2047, L'y')}));
}

TEST_P(SettingsStoreTest, MalformedAndOversizedStringsCountAsAbsent) {
    const std::vector<std::uint8_t> oddLength{'A', 0, 0};
    const std::vector<std::uint8_t> noNul{'A', 0, 'B', 0};
    for (const reg::Value& bad :
         {Raw(reg::kRegSz, oddLength), Raw(reg::kRegSz, noNul), Raw(reg::kRegBinary, {'A', 0, 0, 0}),
          reg::Value::String(std::wstring(70000, L'L')), reg::Value::String(std::wstring(65536, L'M'))}) {
        Put(L"C", L"0", reg::Value::ExpandString(L"\\FIRST"));
        Put(L"C", L"1", bad);
        if (Get(L"C", L"1") != bad) {
            // Wine's registry hands back a string stored without its NUL with one added, so the
            // store sees a well-formed value; only the stores that keep bytes as written can check it.
            EXPECT_STRNE(GetParam().name, "Memory");
            continue;
        }
        Put(L"C", L"2", reg::Value::String(L"\\HIDDEN"));
        EXPECT_EQ(store.GetExclusions(L"C:\\"), std::vector<std::wstring>{L"\\FIRST"});

        Put(L"FilesFor E", L"0", reg::Value::String(L"E:\\first"));
        Put(L"FilesFor E", L"1", bad);
        Put(L"FilesFor E", L"2", reg::Value::String(L"E:\\hidden"));
        EXPECT_EQ(Restore(5), std::vector<std::wstring>{L"E:\\first"});
        EXPECT_FALSE(Exists(L"FilesFor E"));
    }
    // The longest strings that fit each buffer are read; one character more is not. An exclusion that
    // long is beyond the bound of one entry: read, so that it does not hide the ones after it, but not
    // in force.
    Put(L"C", L"1", reg::Value::String(std::wstring(65535, L'N')));
    EXPECT_EQ(store.GetExclusions(L"C:\\"), (std::vector<std::wstring>{L"\\FIRST", L"\\HIDDEN"}));
    Put(L"FilesFor E", L"0", reg::Value::String(std::wstring(2048, L'Q')));
    EXPECT_TRUE(Restore(5).empty());
    Put(L"FilesFor E", L"0", reg::Value::String(L""));  // an empty entry ends the queue too
    Put(L"FilesFor E", L"1", reg::Value::String(L"E:\\after"));
    EXPECT_TRUE(Restore(5).empty());
}

TEST_P(SettingsStoreTest, DrivesFromOutsideNameNothingButTheLettersAToZ) {
    ASSERT_TRUE(store.CreateKeys());
    for (std::wstring_view drive : {L"", L"c:\\", L"@", L"[", L"1", L"\u00c9:\\"}) {
        EXPECT_TRUE(store.IsWatching(drive));
        EXPECT_EQ(store.ReadMove(drive), 1u);
        EXPECT_FALSE(store.AddExclusion(drive, L"X"));
        EXPECT_FALSE(store.RemoveExclusion(drive, L"X"));
        EXPECT_TRUE(store.GetExclusions(drive).empty());
        store.StopWatching(drive);
        store.WriteMove(drive, 0);
        store.SaveQueue(drive, {L"X"});
    }
    for (int index : {0, 27, -1, 35}) {
        EXPECT_TRUE(store.IsWatching(index));
        EXPECT_EQ(store.ReadMove(index), 1u);
        EXPECT_TRUE(Restore(index).empty());
        EXPECT_FALSE(Get(L"WatchingDrives", std::to_wstring(index)));
    }
    EXPECT_EQ(Subkeys(L""), std::vector<std::wstring>{L"WatchingDrives"});
}

INSTANTIATE_TEST_SUITE_P(Registries, SettingsStoreTest, ::testing::ValuesIn(AllBackends()),
                         [](const ::testing::TestParamInfo<BackendKind>& info) { return info.param.name; });

// Records the access every key is opened with.
class RecordingRegistry : public reg::MemoryRegistry {
  public:
    std::uint32_t OpenKey(reg::RawKey parent, std::wstring_view subKey, std::uint32_t access,
                          reg::RawKey* out) override {
        masks.push_back(access);
        return MemoryRegistry::OpenKey(parent, subKey, access, out);
    }
    std::uint32_t CreateKey(reg::RawKey parent, std::wstring_view subKey, std::uint32_t access,
                            reg::RawKey* out, bool* created) override {
        masks.push_back(access);
        return MemoryRegistry::CreateKey(parent, subKey, access, out, created);
    }
    std::vector<std::uint32_t> masks;
    std::size_t writes = 0;  // operations that changed the tree: each one a save of a persistent store

  protected:
    std::uint32_t EndOperation(bool changed) override {
        writes += changed ? 1 : 0;
        return MemoryRegistry::EndOperation(changed);
    }
};

TEST(SettingsStoreKeys, EveryOperationOpensWithTheStoresAccessAndClosesWhatItOpened) {
    RecordingRegistry registry;
    SettingsStore store(registry);
    store.CreateKeys();
    store.LoadLifeTime();
    store.SaveLifeTime(3);
    store.SetWatching(L"C:\\");
    store.IsWatching(L"C:\\");
    store.WriteMove(L"C:\\", 0);
    store.ReadMove(3);
    store.AddExclusion(L"C:\\", L"\\a");
    store.AddExclusion(L"C:\\", L"\\b");
    store.RemoveExclusion(L"C:\\", L"\\a");
    store.GetExclusions(L"C:\\");
    store.SaveQueue(L"C:\\", {L"C:\\f"});
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
    for (std::uint32_t mask : registry.masks)
        EXPECT_EQ(mask, 0x2001Fu);

    registry.masks.clear();
    store.RestoreQueue(3, {});
    EXPECT_EQ(registry.masks.front(), 0x2001Fu);  // then the registry's own deletion of the tree
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST(SettingsStoreKeys, AQueueIsSavedInOneWriteWhateverItsLength) {
    RecordingRegistry registry;
    SettingsStore store(registry);
    store.SaveQueue(L"C:\\", {L"C:\\first"});  // creates the key
    std::vector<std::wstring> paths;
    for (int i = 0; i < 5000; ++i)
        paths.push_back(L"C:\\dir\\file" + std::to_wstring(i));
    paths.insert(paths.begin() + 10, L"");  // left out without a gap in the numbers
    registry.writes = 0;
    store.SaveQueue(L"C:\\", paths);
    EXPECT_EQ(registry.writes, 1u);
    std::vector<std::wstring> restored;
    store.RestoreQueue(3, [&](const std::wstring& path) { restored.push_back(path); });
    paths.erase(paths.begin() + 10);
    EXPECT_EQ(restored, paths);
}

}  // namespace
}  // namespace kestrel::drives
