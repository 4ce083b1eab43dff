// The settings store over the host's file-backed registry: a damaged store is left alone, and the
// settings outlive a process that is killed. Host only.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/host/HostRegistry.h"
#include "service/drives/SettingsStore.h"
#include "tests/drives/KilledChild.h"

namespace kestrel::drives {
namespace {

class HostSettingsTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-settings-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        file = dir + "/registry.dat";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::string Contents() {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    std::string dir, file;
};

TEST_F(HostSettingsTest, ADamagedStoreAnswersDefaultsAndIsNeverOverwritten) {
    {
        reg::HostRegistry registry(file);
        SettingsStore store(registry);
        store.CreateKeys();
        store.StopWatching(L"C:\\");
        store.WriteMove(L"C:\\", 0);
        store.SaveLifeTime(99);
    }
    std::string damaged = Contents();
    damaged.resize(damaged.size() - 5);
    std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;

    reg::HostRegistry registry(file);
    SettingsStore store(registry);
    EXPECT_FALSE(store.CreateKeys());
    EXPECT_EQ(store.LoadLifeTime(), 0);
    EXPECT_TRUE(store.IsWatching(L"C:\\"));
    EXPECT_EQ(store.ReadMove(3), 1u);
    EXPECT_TRUE(store.AddExclusion(L"C:\\", L"\\x"));  // nothing stored, as for any unusable key
    EXPECT_FALSE(store.RemoveExclusion(L"C:\\", L"\\x"));
    store.SaveLifeTime(0);
    store.SetWatching(L"C:\\");
    store.WriteMove(L"C:\\", 1);
    store.SaveQueue(L"C:\\", {L"C:\\f"});
    EXPECT_EQ(store.RestoreQueue(3, [](const std::wstring&) {}), 0u);
    EXPECT_EQ(Contents(), damaged);
}

TEST_F(HostSettingsTest, SettingsComeBackAfterTheProcessIsKilled) {
    ASSERT_TRUE(RunInKilledChild([&] {
        reg::HostRegistry registry(file);
        SettingsStore store(registry);
        store.CreateKeys();
        store.SaveLifeTime(1234);
        store.AddExclusion(L"D:\\", L"\\cache\\");
        store.StopWatching(L"E:\\");
        store.SaveQueue(L"D:\\", {L"D:\\one", L"D:\\two", L"D:\\three"});
        return true;
    }));

    reg::HostRegistry registry(file);
    SettingsStore store(registry);
    EXPECT_EQ(store.LoadLifeTime(), 1234);
    EXPECT_EQ(store.GetExclusions(L"D:\\"), std::vector<std::wstring>{L"\\CACHE\\"});
    EXPECT_FALSE(store.IsWatching(L"E:\\"));
    EXPECT_TRUE(store.IsWatching(L"D:\\"));
    std::vector<std::wstring> queue;
    store.RestoreQueue(4, [&](const std::wstring& path) { queue.push_back(path); });
    EXPECT_EQ(queue, (std::vector<std::wstring>{L"D:\\one", L"D:\\two", L"D:\\three"}));
}

}  // namespace
}  // namespace kestrel::drives
