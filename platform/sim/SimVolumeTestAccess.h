// Test-only access to a simulated volume's state, to damage it on purpose and prove that Check() notices.
// Nothing outside tests uses it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/sim/SimVolume.h"

namespace kestrel::sim {

struct SimVolumeTestAccess {
    // Flips the bitmap bit of one cluster without touching the files.
    static void FlipBit(SimVolume& volume, std::int64_t lcn);
    // Puts a different tag into one cluster, as if the wrong data had been copied there.
    static void OverwriteTag(SimVolume& volume, std::int64_t lcn, std::uint64_t tag);
    // Replaces a file's runs as they are, with no checks and no change to the bitmap or content.
    static void SetRuns(SimVolume& volume, const std::wstring& path, const std::vector<Run>& runs);
};

}  // namespace kestrel::sim
