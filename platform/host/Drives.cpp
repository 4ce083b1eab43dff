// Host drives: the drive table of host mode.
#include "platform/DriveTable.h"

namespace kestrel::drives {

Drives& DefaultDrives() {
    return HostDriveTable();
}

}  // namespace kestrel::drives
