// The service command line against the in-memory registry: console texts, what "-i" and "-u" record and
// remove, the exit code, and what is not a switch.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/MemoryRegistry.h"
#include "platform/Trace.h"
#include "service/framework/CNTService.h"
#include "tests/framework/FakeServiceHost.h"

namespace kestrel::test {
namespace {
using ::testing::ElementsAre;
using ::testing::IsEmpty;

constexpr wchar_t kName[] = L"KestrelCliSvc";
constexpr wchar_t kServiceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\KestrelCliSvc";
constexpr wchar_t kSourceKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\KestrelCliSvc";

// A registry whose key creation fails below one path, to make the install fail half-way.
class RefusingRegistry : public reg::MemoryRegistry {
  public:
    std::wstring refusedPrefix;
    std::uint32_t CreateKey(reg::RawKey parent, std::wstring_view subKey, std::uint32_t access,
                            reg::RawKey* out, bool* created) override {
        if (!refusedPrefix.empty() && subKey.substr(0, refusedPrefix.size()) == refusedPrefix) {
            *out = reg::kNoKey;
            return reg::kErrorAccessDenied;
        }
        return MemoryRegistry::CreateKey(parent, subKey, access, out, created);
    }
};

class CommandLineTest : public ::testing::Test {
  protected:
    RefusingRegistry registry;
    FakeServiceHost host{registry};
    trace::ScopedCapture capture;
    CNTService service{kName, host, registry};

    std::wstring Run(std::vector<std::wstring> arguments) {
        host.ClearRecords();
        arguments.insert(arguments.begin(), L"KestrelService.exe");
        EXPECT_TRUE(service.ParseCommandLine(arguments));
        return host.Output();
    }
    bool KeyExists(const wchar_t* path) {
        return registry.Open(reg::kLocalMachine, path, reg::kKeyRead).valid();
    }
    reg::Value Query(const wchar_t* path, const wchar_t* name) {
        reg::Value value;
        reg::Key key = registry.Open(reg::kLocalMachine, path, reg::kKeyRead);
        EXPECT_EQ(registry.QueryValue(key.get(), name, &value), reg::kErrorSuccess) << name;
        return value;
    }
};

TEST_F(CommandLineTest, InstallQueryAndRemoveRoundTrip) {
    EXPECT_EQ(Run({L"-v"}), L"KestrelCliSvc Version 1.0\nThe service is not installed\n");

    EXPECT_EQ(Run({L"-i"}), L"KestrelCliSvc installed\n");
    // Quoted (the path has a space), no arguments; the message file is a plain path.
    EXPECT_EQ(Query(kServiceKey, L"ImagePath").AsString(), L"\"" + host.modulePath + L"\"");
    EXPECT_EQ(Query(kServiceKey, L"ImagePath").type, reg::kRegExpandSz);
    EXPECT_EQ(Query(kServiceKey, L"Type").AsDword(), svc::kServiceWin32OwnProcess);
    EXPECT_EQ(Query(kServiceKey, L"Start").AsDword(), svc::kServiceAutoStart);
    EXPECT_EQ(Query(kServiceKey, L"DisplayName").AsString(), kName);
    reg::Value file = Query(kSourceKey, L"EventMessageFile");
    EXPECT_EQ(file.type, reg::kRegExpandSz);
    EXPECT_EQ(file.AsString(), host.modulePath);
    EXPECT_EQ(file.data.size(), (host.modulePath.size() + 1) * 2);  // the terminating NUL included
    EXPECT_EQ(Query(kSourceKey, L"TypesSupported"), reg::Value::Dword(7));
    ASSERT_THAT(host.EventIds(), ElementsAre(100u));
    EXPECT_EQ(host.Events()[0].type, svc::kEventInformation);
    EXPECT_THAT(host.Events()[0].strings, ElementsAre(kName));

    EXPECT_EQ(Run({L"-V"}), L"KestrelCliSvc Version 1.0\nThe service is currently installed\n");
    EXPECT_EQ(Run({L"-I"}), L"KestrelCliSvc is already installed\n");
    EXPECT_THAT(host.EventIds(), IsEmpty());

    // The source key goes with all its subkeys.
    registry.Create(reg::kLocalMachine, std::wstring(kSourceKey) + L"\\Deeper\\Deepest", reg::kKeyAllAccess);
    EXPECT_EQ(Run({L"-U"}), L"KestrelCliSvc removed.\n");
    EXPECT_FALSE(KeyExists(kServiceKey));
    EXPECT_FALSE(KeyExists(kSourceKey));
    EXPECT_TRUE(KeyExists(L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application"));
    EXPECT_THAT(host.EventIds(), ElementsAre(101u));

    EXPECT_EQ(Run({L"-v"}), L"KestrelCliSvc Version 1.0\nThe service is not installed\n");
    EXPECT_EQ(service.Status().win32ExitCode, 0u);
    EXPECT_EQ(registry.OpenHandleCount(), 0u);
}

TEST_F(CommandLineTest, RemoveWhenNotInstalledLeavesTheSourceKeyAlone) {
    registry.Create(reg::kLocalMachine, kSourceKey, reg::kKeyAllAccess);
    EXPECT_EQ(Run({L"-u"}), L"KestrelCliSvc is not installed\n");
    EXPECT_TRUE(KeyExists(kSourceKey));
    EXPECT_THAT(host.EventIds(), IsEmpty());
}

TEST_F(CommandLineTest, ServiceKeyWithoutAServiceIsNotInstalled) {
    // The service's own settings may create its key before any install.
    registry.Create(reg::kLocalMachine, std::wstring(kServiceKey) + L"\\Parameters", reg::kKeyAllAccess);
    EXPECT_EQ(Run({L"-v"}), L"KestrelCliSvc Version 1.0\nThe service is not installed\n");
    EXPECT_EQ(Run({L"-i"}), L"KestrelCliSvc installed\n");
}

TEST_F(CommandLineTest, FailedInstallPrintsTheErrorAndSetsTheExitCode) {
    registry.refusedPrefix = L"SYSTEM\\CurrentControlSet\\Services\\EventLog";
    EXPECT_EQ(Run({L"-i"}), L"KestrelCliSvc failed to install. Error 5\n");
    EXPECT_EQ(service.Status().win32ExitCode, 5u);
    EXPECT_THAT(host.EventIds(), IsEmpty());
    // The service entry itself was created and stays.
    EXPECT_TRUE(service.QueryInstalled());
}

TEST_F(CommandLineTest, FailedRemovePrintsTheErrorLogs102AndStillDropsTheSource) {
    Run({L"-i"});
    host.deleteServiceError = 1072;
    EXPECT_EQ(Run({L"-u"}), L"Could not remove KestrelCliSvc. Error 1072\n");
    EXPECT_THAT(host.EventIds(), ElementsAre(102u));
    EXPECT_EQ(host.Events()[0].type, svc::kEventError);
    EXPECT_FALSE(KeyExists(kSourceKey));
    EXPECT_EQ(service.Status().win32ExitCode, 1072u);
}

TEST_F(CommandLineTest, OnlyTheFirstArgumentCountsAndOnlyExactSwitches) {
    EXPECT_EQ(Run({L"-v", L"-i", L"extra"}), L"KestrelCliSvc Version 1.0\nThe service is not installed\n");
    EXPECT_FALSE(service.QueryInstalled());

    for (std::vector<std::wstring> arguments :
         std::vector<std::vector<std::wstring>>{{L"KestrelService.exe"},
                                                {L"KestrelService.exe", L"-x"},
                                                {L"KestrelService.exe", L"/i"},
                                                {L"KestrelService.exe", L"-iv"},
                                                {L"KestrelService.exe", L""},
                                                {L"KestrelService.exe", L"-\u0130"},  // upper-case dotted I
                                                {L"KestrelService.exe", L"i", L"-i"}}) {
        EXPECT_FALSE(service.ParseCommandLine(arguments)) << arguments.back();
    }
    EXPECT_FALSE(service.ParseCommandLine({}));
    EXPECT_FALSE(service.QueryInstalled());
}

TEST_F(CommandLineTest, ProgramWithoutASwitchRunsTheDispatcher) {
    host.ClearRecords();
    EXPECT_EQ(RunServiceProgram(service, {L"KestrelService.exe"}), 0);
    EXPECT_THAT(host.DispatcherCalls(), ElementsAre(kName));
    EXPECT_EQ(host.Output(), L"");
    auto lines = capture.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(lines[lines.size() - 2].find(L"Calling StartServiceCtrlDispatcher()\n"), std::wstring::npos);
    EXPECT_NE(lines.back().find(L"Returned from StartServiceCtrlDispatcher()\n"), std::wstring::npos);

    EXPECT_EQ(RunServiceProgram(service, {L"KestrelService.exe", L"-i"}), 0);
    EXPECT_EQ(host.DispatcherCalls().size(), 1u);
}

}  // namespace
}  // namespace kestrel::test
