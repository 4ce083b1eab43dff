// On the host the file-system control is the set of simulated volumes that host mode or a test mounts.
#include "platform/FileSystemControl.h"
#include "platform/host/DirectoryDrives.h"
#include "platform/sim/SimFileSystem.h"

namespace kestrel::host {

sim::SimFileSystem& HostSimFileSystem() {
    static sim::SimFileSystem control;
    return control;
}

}  // namespace kestrel::host

namespace kestrel::fs {

FileSystemControl& DefaultFileSystemControl() {
    return host::HostSimFileSystem();
}

}  // namespace kestrel::fs
