// The free clusters of a volume, counted over the pages of one bitmap request without keeping a copy of
// the bitmap: the count equals what a walk of an engine's first-fit free-run search over its own copy
// finds (every free run after LCN 0, the MFT zone counted in use), in 64 bits.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/FileSystemControl.h"
#include "platform/Time.h"

namespace kestrel::engine {

// Bytes of bits one page of the bitmap request carries (each page covers 8 times as many clusters).
inline constexpr std::uint32_t kFreeCountPageBytes = 256 * 1024;

// Opens the volume of the path's drive letter (its first character), reads its NTFS data (11 attempts,
// 1 s apart, as an engine does; without it there is no MFT zone) and pages through FSCTL_GET_VOLUME_BITMAP,
// summing the clear bits of LCN 1 to the end of the volume outside the MFT zone. Any failed request, or an
// answer that contradicts the earlier pages, gives 0 (an engine then shows no free cluster either).
// Nothing when `stop` (if given) is signalled during the waits between attempts. Holds one page at a time.
// Used by one thread; the file-system control may be shared.
std::optional<std::int64_t> CountFreeClusters(fs::FileSystemControl& fs, const std::wstring& path,
                                              timing::Event* stop = nullptr,
                                              std::uint32_t pageBytes = kFreeCountPageBytes);

// The clear bits of bits [from, to) of a bitmap (bit i is bit i mod 8 of byte i / 8), read 64 at a time.
std::uint64_t CountClearBits(const std::uint8_t* bits, std::uint64_t from, std::uint64_t to);

}  // namespace kestrel::engine
