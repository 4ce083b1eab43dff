// The host's file-backed registry store: persistence, sharing between instances, crash safety and
// damaged files. Host only.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/host/HostRegistry.h"
#include "platform/host/StateDirectory.h"

namespace kestrel::reg {
namespace {
namespace fs = std::filesystem;

class HostRegistryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/kestrel-registry-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        file = dir + "/registry.dat";
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string ReadFile() {
        std::ifstream in(file, std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static Value Read(Registry& registry, const wchar_t* path, const wchar_t* name,
                      std::uint32_t* error = nullptr) {
        Value value;
        Key key = registry.Open(kLocalMachine, path, kKeyRead, error);
        std::uint32_t result = key ? registry.QueryValue(key.get(), name, &value) : kErrorFileNotFound;
        if (error != nullptr && *error == kErrorSuccess)
            *error = result;
        return value;
    }

    std::string dir;
    std::string file;
};

TEST_F(HostRegistryTest, ValuesSurviveANewInstanceWithAwkwardNamesAndData) {
    const std::wstring awkward = L"name with spaces %41 and\nline\tbreaks \u00e9\u4e2d";
    {
        HostRegistry registry(file);
        Key key =
            registry.Create(kLocalMachine, L"SYSTEM\\CurrentControlSet\\Services\\Svc %x", kKeyAllAccess);
        ASSERT_TRUE(key);
        EXPECT_EQ(registry.SetValue(key.get(), awkward, Value::ExpandString(awkward)), kErrorSuccess);
        EXPECT_EQ(registry.SetValue(key.get(), L"", Value::Dword(7)), kErrorSuccess);
        EXPECT_EQ(registry.SetValue(key.get(), L"raw", Value{kRegBinary, {}}), kErrorSuccess);
        EXPECT_EQ(registry.SetValues(key.get(), {{L"0", Value::String(awkward)}, {L"1", Value::Dword(1)}}),
                  kErrorSuccess);
        ASSERT_TRUE(registry.Create(kCurrentUser, L"Software\\Empty", kKeyAllAccess));
    }
    HostRegistry reopened(file);
    EXPECT_EQ(Read(reopened, L"system\\currentcontrolset\\services\\SVC %X", awkward.c_str()).AsString(),
              awkward);
    EXPECT_EQ(Read(reopened, L"SYSTEM\\CurrentControlSet\\Services\\Svc %x", L"").AsDword(), 7u);
    EXPECT_EQ(Read(reopened, L"SYSTEM\\CurrentControlSet\\Services\\Svc %x", L"raw"),
              (Value{kRegBinary, {}}));
    EXPECT_EQ(Read(reopened, L"SYSTEM\\CurrentControlSet\\Services\\Svc %x", L"0").AsString(), awkward);
    EXPECT_EQ(Read(reopened, L"SYSTEM\\CurrentControlSet\\Services\\Svc %x", L"1").AsDword(), 1u);
    EXPECT_TRUE(reopened.Open(kCurrentUser, L"Software\\Empty", kKeyRead));
    Key services = reopened.Open(kLocalMachine, L"SYSTEM\\CurrentControlSet\\Services", kKeyRead);
    std::wstring name;
    EXPECT_EQ(reopened.EnumKey(services.get(), 0, &name), kErrorSuccess);
    EXPECT_EQ(name, L"Svc %x");

    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST_F(HostRegistryTest, InstancesSharingTheFileSeeEachOthersChanges) {
    HostRegistry first(file), second(file);
    Key key = first.Create(kLocalMachine, L"Shared", kKeyAllAccess);
    first.SetValue(key.get(), L"v", Value::Dword(1));
    EXPECT_EQ(Read(second, L"Shared", L"v").AsDword(), 1u);
    Key other = second.Open(kLocalMachine, L"Shared", kKeyAllAccess);
    second.SetValue(other.get(), L"w", Value::Dword(2));
    EXPECT_EQ(Read(first, L"Shared", L"w").AsDword(), 2u);
    EXPECT_EQ(Read(first, L"Shared", L"v").AsDword(), 1u);  // neither instance wrote over the other
}

TEST_F(HostRegistryTest, SettingAValueToWhatItHoldsWritesNothing) {
    // Each write replaces the file (write new, then rename): a new inode. A client that repeats a setting
    // (any local process can, thousands of times a second) must not cost a write and two flushes each.
    HostRegistry registry(file);
    Key key = registry.Create(kLocalMachine, L"Same", kKeyAllAccess);
    ASSERT_EQ(registry.SetValue(key.get(), L"Move", Value::Dword(1)), kErrorSuccess);
    ASSERT_EQ(registry.SetValues(key.get(), {{L"0", Value::String(L"A")}, {L"1", Value::String(L"B")}}),
              kErrorSuccess);
    struct stat before {};
    ASSERT_EQ(stat(file.c_str(), &before), 0);
    EXPECT_EQ(registry.SetValue(key.get(), L"MOVE", Value::Dword(1)), kErrorSuccess);
    EXPECT_EQ(registry.SetValues(key.get(), {{L"0", Value::String(L"A")}, {L"1", Value::String(L"B")}}),
              kErrorSuccess);
    struct stat after {};
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    // A different value, or the same data as another type, is written.
    EXPECT_EQ(registry.SetValue(key.get(), L"Move", Value{kRegBinary, Value::Dword(1).data}), kErrorSuccess);
    ASSERT_EQ(stat(file.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino);
    EXPECT_EQ(Read(registry, L"Same", L"Move").type, kRegBinary);
    EXPECT_EQ(Read(registry, L"Same", L"1").AsString(), L"B");
}

TEST_F(HostRegistryTest, LeftoverTemporaryFileFromACrashIsIgnored) {
    {
        HostRegistry registry(file);
        Key key = registry.Create(kLocalMachine, L"Keep", kKeyAllAccess);
        registry.SetValue(key.get(), L"v", Value::Dword(42));
    }
    // A writer that died before its rename leaves a half-written file beside the store.
    std::ofstream(file + ".Ab12Cd", std::ios::binary) << "kestrel-registry 1\nkey HKLM =Keep\nvalue =v 4 x0";
    HostRegistry registry(file);
    EXPECT_EQ(Read(registry, L"Keep", L"v").AsDword(), 42u);
    Key key = registry.Open(kLocalMachine, L"Keep", kKeyAllAccess);
    EXPECT_EQ(registry.SetValue(key.get(), L"w", Value::Dword(1)), kErrorSuccess);
    HostRegistry fresh(file);
    EXPECT_EQ(Read(fresh, L"Keep", L"v").AsDword(), 42u);
    EXPECT_EQ(Read(fresh, L"Keep", L"w").AsDword(), 1u);
}

TEST_F(HostRegistryTest, DamagedStoreIsRefusedAndLeftUntouched) {
    {
        HostRegistry registry(file);
        registry.Create(kLocalMachine, L"Data", kKeyAllAccess);
    }
    std::string good = ReadFile();
    for (const std::string& damaged : {good.substr(0, good.size() - 4),  // truncated: no "end"
                                       std::string("garbage\n"), good + "value =x 4 xzz\nend\n",
                                       std::string("kestrel-registry 1\nvalue =x 4 x00\nend\n")}) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << damaged;
        HostRegistry registry(file);
        std::uint32_t error = 0;
        Read(registry, L"Data", L"v", &error);
        EXPECT_EQ(error, kErrorBadDatabase);
        RawKey raw = kNoKey;
        EXPECT_EQ(registry.CreateKey(kLocalMachine, L"New", kKeyAllAccess, &raw), kErrorBadDatabase);
        EXPECT_EQ(ReadFile(), damaged);
    }
    // Once repaired, the store works again without a restart.
    std::ofstream(file, std::ios::binary | std::ios::trunc) << good;
    HostRegistry registry(file);
    EXPECT_TRUE(registry.Open(kLocalMachine, L"Data", kKeyRead));
}

TEST_F(HostRegistryTest, RecursiveDeleteIsPersisted) {
    {
        HostRegistry registry(file);
        registry.Create(kLocalMachine, L"Services\\Svc\\Parameters\\C", kKeyAllAccess);
        registry.Create(kLocalMachine, L"Services\\Svc\\Status", kKeyAllAccess);
        registry.Create(kLocalMachine, L"Services\\Other", kKeyAllAccess);
        EXPECT_EQ(registry.DeleteTree(kLocalMachine, L"Services\\Svc"), kErrorSuccess);
    }
    HostRegistry reopened(file);
    EXPECT_FALSE(reopened.Open(kLocalMachine, L"Services\\Svc", kKeyRead));
    EXPECT_TRUE(reopened.Open(kLocalMachine, L"Services\\Other", kKeyRead));
}

// Restores an environment variable on destruction.
class ScopedEnv {
  public:
    explicit ScopedEnv(const char* name) : name_(name) {
        const char* value = std::getenv(name);
        if (value != nullptr)
            saved_ = value;
        had_ = value != nullptr;
    }
    ~ScopedEnv() {
        if (had_) {
            setenv(name_, saved_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

  private:
    const char* name_;
    std::string saved_;
    bool had_ = false;
};

TEST_F(HostRegistryTest, StateDirectoryFollowsTheEnvironmentAndIsPrivate) {
    ScopedEnv own("KESTREL_STATE_DIR"), xdg("XDG_STATE_HOME"), home("HOME");
    setenv("KESTREL_STATE_DIR", (dir + "/a/b").c_str(), 1);
    EXPECT_EQ(host::StateDirectory(), dir + "/a/b");
    EXPECT_EQ(host::EnsureStateDirectory(host::StateDirectory()), 0u);
    struct stat info {};
    ASSERT_EQ(stat((dir + "/a/b").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    unsetenv("KESTREL_STATE_DIR");
    setenv("XDG_STATE_HOME", "/xdg", 1);
    EXPECT_EQ(host::StateDirectory(), "/xdg/kestrel");
    setenv("XDG_STATE_HOME", "relative", 1);  // not absolute: ignored
    setenv("HOME", "/home/someone", 1);
    EXPECT_EQ(host::StateDirectory(), "/home/someone/.local/state/kestrel");
}

}  // namespace
}  // namespace kestrel::reg
