// On the host the file-system control is the set of simulated volumes that host mode or a test mounts.
#include "platform/FileSystemControl.h"
#include "platform/sim/SimFileSystem.h"

namespace kestrel::fs {

FileSystemControl& DefaultFileSystemControl() {
    static sim::SimFileSystem control;
    return control;
}

}  // namespace kestrel::fs
