// The host's state directory: where host mode keeps what Windows keeps in the system (the registry
// store, the event log). It is, in this order of preference:
//   $KESTREL_STATE_DIR, else $XDG_STATE_HOME/kestrel, else $HOME/.local/state/kestrel
// and is created on first use, with missing directories made readable by the user only (0700).
// Host adapters only (platform/host/StateDirectory.cpp).
#pragma once

#include <cstdint>
#include <string>

namespace kestrel::host {

// The directory's path (not created).
std::string StateDirectory();

// Creates the directory (and missing parents, mode 0700) when needed. Returns kErrorSuccess or a Win32
// error code.
std::uint32_t EnsureStateDirectory(const std::string& path);

}  // namespace kestrel::host
