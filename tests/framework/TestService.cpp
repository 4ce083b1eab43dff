#include "tests/framework/TestService.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "common/Utf16.h"
#include "platform/Trace.h"

namespace kestrel::test {
namespace {
// Appends every trace line to a file, flushed at once (several processes may append to it).
class FileTraceSink : public trace::TraceSink {
  public:
    explicit FileTraceSink(const std::filesystem::path& path)
        : out_(path, std::ios::app | std::ios::binary) {}
    void Write(std::wstring_view line) override {
        std::lock_guard lock(mutex_);
        out_ << ToUtf8(line);
        out_.flush();
    }

  private:
    std::mutex mutex_;
    std::ofstream out_;
};
}  // namespace

TestService::TestService() : CNTService(kTestServiceName) {}

void TestService::Run() {
    Trace(L"TestService running");
    stop_.Wait(timing::kInfinite);
    Trace(L"TestService leaving Run");
}

bool TestService::OnInit() {
    CNTService::OnInit();
    std::ifstream options(std::filesystem::path(Host().ModulePath() + L".options"));
    std::string option;
    while (options >> option) {
        std::size_t equals = option.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = option.substr(0, equals);
        auto value = static_cast<std::uint32_t>(std::strtoul(option.c_str() + equals + 1, nullptr, 10));
        if (key == "init")
            initDelay_ = value;
        else if (key == "stop")
            stopDelay_ = value;
        else if (key == "fail")
            initError_ = value;
    }
    if (initDelay_ != 0)
        timing::Sleep(initDelay_);
    Trace(L"TestService initialised (error %lu)", initError_);
    Host().SetLastError(initError_);
    return initError_ == 0;
}

void TestService::OnStop() {
    CNTService::OnStop();
    if (stopDelay_ != 0)
        timing::Sleep(stopDelay_);
    stop_.Set();
}

bool TestService::OnUserControl(std::uint32_t code) {
    CNTService::OnUserControl(code);
    if (code != 128)
        return false;
    reg::Key key = Registry().Create(reg::kLocalMachine, kTestServiceStatusKey, reg::kKeyWrite);
    std::uint32_t error =
        key ? Registry().SetValue(key.get(), kTestServiceControlValue, reg::Value::Dword(code))
            : reg::kErrorFileNotFound;
    Trace(L"TestService handled user control %lu (registry result %lu)", code, error);
    return true;
}

int TestServiceMain(const std::vector<std::wstring>& arguments) {
    std::filesystem::path tracePath(svc::SystemServiceHost().ModulePath() + L".trace");
    FileTraceSink sink(tracePath);
    trace::ScopedSink scope(sink);
    TestService service;
    return RunServiceProgram(service, arguments);
}

}  // namespace kestrel::test
