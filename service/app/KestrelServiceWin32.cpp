// KestrelService on Windows: constructs the service, then performs the console switch ("-v", "-i", "-u")
// or hands the process to the service control dispatcher.
#include <string>
#include <vector>

#include "service/core/DefragService.h"

int wmain(int argc, wchar_t** argv) {
    const std::vector<std::wstring> arguments(argv, argv + argc);
    kestrel::core::DefragService service;
    return kestrel::RunServiceProgram(service, arguments);
}
