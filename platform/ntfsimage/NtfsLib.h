// The headers of libntfs-3g, included the one way that compiles as C++: the C headers they rely on
// first, HAVE_SYS_STAT_H set (the build defines it) so that they take struct timespec from the system,
// and C linkage. Only the sources of the NTFS image library include this.
#pragma once

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>

extern "C" {
#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/bitmap.h>
#include <ntfs-3g/device.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/runlist.h>
#include <ntfs-3g/unistr.h>
#include <ntfs-3g/volume.h>
}

// The headers define min and max as macros, which would break std::min and std::max.
#undef min
#undef max
