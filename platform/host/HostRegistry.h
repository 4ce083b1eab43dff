// The host's registry: the tree of MemoryRegistry kept in one file, by default registry.dat in the state
// directory (platform/host/StateDirectory.h).
//
// Every change is written to a new file in the same directory (mode 0600), flushed to disk and renamed
// over the old one, so a crash leaves either the old or the new tree, never a mix; a temporary file left
// by a crash is ignored. Several processes may share the store: an advisory lock on "<file>.lock"
// serialises their operations, and each operation first reloads the file when another process replaced
// it. A file that cannot be read as a store (damaged, truncated, edited badly) is left untouched and
// every operation answers kErrorBadDatabase, so nothing in it is lost by overwriting. Host only.
#pragma once

#include <string>
#include <sys/types.h>

#include "platform/MemoryRegistry.h"

namespace kestrel::reg {

class HostRegistry : public MemoryRegistry {
  public:
    // `file` is the store's path; its directory must exist (the state directory is created by
    // SystemRegistry before it builds the store).
    explicit HostRegistry(std::string file);
    ~HostRegistry() override;

    const std::string& file() const { return file_; }

  protected:
    std::uint32_t BeginOperation(bool write) override;
    std::uint32_t EndOperation(bool changed) override;

  private:
    struct Stamp {
        bool exists = false;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        long long modifiedNs = 0;
        bool operator==(const Stamp&) const = default;
    };
    static std::string Serialize(const Tree& tree);
    static bool Parse(const std::string& text, Tree* tree);
    std::uint32_t Reload();
    std::uint32_t Save();
    void Unlock();

    std::string file_;
    int lockFd_ = -1;
    bool locked_ = false;
    bool loaded_ = false;
    bool damaged_ = false;
    Stamp stamp_;
};

}  // namespace kestrel::reg
