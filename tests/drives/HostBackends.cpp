// The host's file-backed registry store, in a fresh temporary directory per test.
#include <stdlib.h>

#include <filesystem>

#include "platform/host/HostRegistry.h"
#include "service/drives/SettingsStore.h"
#include "tests/drives/StoreBackends.h"

namespace kestrel::drives {
namespace {

class HostFileBackend : public StoreBackend {
  public:
    HostFileBackend() : dir_(MakeDir()), registry_(dir_ + "/registry.dat") {}
    ~HostFileBackend() override { std::filesystem::remove_all(dir_); }
    reg::Registry& registry() override { return registry_; }
    std::wstring parametersPath() const override { return std::wstring(kParametersPath); }

  private:
    static std::string MakeDir() {
        char pattern[] = "/tmp/kestrel-settings-XXXXXX";
        return mkdtemp(pattern) != nullptr ? pattern : "/tmp";
    }
    std::string dir_;
    reg::HostRegistry registry_;
};

}  // namespace

std::vector<BackendKind> PlatformBackends() {
    return {{"HostFile", [] { return std::unique_ptr<StoreBackend>(new HostFileBackend); }}};
}

}  // namespace kestrel::drives
