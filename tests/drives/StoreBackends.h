// The registries the settings-store tests run against: the in-memory registry everywhere, plus the
// platform's own store (the file-backed host store, or the real registry under Wine).
#pragma once

#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace kestrel::drives {

class StoreBackend {
  public:
    virtual ~StoreBackend() = default;
    virtual reg::Registry& registry() = 0;
    // Where the test's parameters key lives below HKEY_LOCAL_MACHINE.
    virtual std::wstring parametersPath() const = 0;
};

struct BackendKind {
    const char* name;
    std::unique_ptr<StoreBackend> (*make)();
};
inline void PrintTo(const BackendKind& kind, std::ostream* out) {
    *out << kind.name;
}

// The platform's own stores (one implementation file per target).
std::vector<BackendKind> PlatformBackends();

}  // namespace kestrel::drives
