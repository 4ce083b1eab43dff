// The one translation of host errno values into Win32 error codes, used by every host adapter so that the
// same failure gives the same code whichever facility met it. Host adapters only.
#pragma once

#include <cstdint>

namespace kestrel::host {

// The Win32 error code for an errno value: kErrorSuccess for 0, kErrorGenFailure for a value without
// a closer match.
std::uint32_t Win32ErrorFromErrno(int error);

}  // namespace kestrel::host
