// A small service that drives the framework end to end: it runs until stopped, handles user control 128
// by recording it in the registry, and writes its trace lines to "<program file>.trace" so that scripts
// can follow what the service did.
//
// Scripts shape a run through "<program file>.options", read when the service initialises: space-separated
// "init=<ms>" (OnInit takes that long), "stop=<ms>" (OnStop takes that long after its first trace line)
// and "fail=<code>" (OnInit fails with that error). No file: no delays, no failure.
#pragma once

#include <string>
#include <vector>

#include "platform/Time.h"
#include "service/framework/CNTService.h"

namespace kestrel::test {

inline constexpr wchar_t kTestServiceName[] = L"KestrelTestSvc";
// HKEY_LOCAL_MACHINE key and value where the service records the last user control it handled.
inline constexpr wchar_t kTestServiceStatusKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\KestrelTestSvc\\Status";
inline constexpr wchar_t kTestServiceControlValue[] = L"UserControl";

class TestService : public CNTService {
  public:
    TestService();
    void Run() override;
    bool OnInit() override;
    void OnStop() override;
    bool OnUserControl(std::uint32_t code) override;

  private:
    timing::Event stop_{true, false};
    timing::Millis initDelay_ = 0;
    timing::Millis stopDelay_ = 0;
    std::uint32_t initError_ = 0;
};

// The program's entry once the arguments are wide strings.
int TestServiceMain(const std::vector<std::wstring>& arguments);

}  // namespace kestrel::test
