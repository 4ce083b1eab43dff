// The system's text for a Win32 error code (FormatMessageW on Windows; on the host, the same texts for
// the codes the system meets, and a generic text for the rest). No trailing line break.
#pragma once

#include <cstdint>
#include <string>

namespace kestrel {

std::wstring SystemErrorText(std::uint32_t code);

}  // namespace kestrel
