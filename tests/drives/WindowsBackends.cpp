// The real Windows registry (Wine's, when the tests run under Wine), in a scratch key below
// HKEY_LOCAL_MACHINE that each test starts without and leaves behind deleted, so that an installed
// service's settings are never touched.
#include "service/drives/SettingsStore.h"
#include "tests/drives/StoreBackends.h"

namespace kestrel::drives {
namespace {

constexpr wchar_t kScratch[] = L"SOFTWARE\\KestrelTests";

class SystemBackend : public StoreBackend {
  public:
    SystemBackend() { reg::SystemRegistry().DeleteTree(reg::kLocalMachine, kScratch); }
    ~SystemBackend() override { reg::SystemRegistry().DeleteTree(reg::kLocalMachine, kScratch); }
    reg::Registry& registry() override { return reg::SystemRegistry(); }
    std::wstring parametersPath() const override {
        return std::wstring(kScratch) + L"\\Kestrel_Defragmentation\\Parameters";
    }
};

}  // namespace

std::vector<BackendKind> PlatformBackends() {
    return {{"SystemRegistry", [] { return std::unique_ptr<StoreBackend>(new SystemBackend); }}};
}

}  // namespace kestrel::drives
