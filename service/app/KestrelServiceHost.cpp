// KestrelService on the host: the same service and switches; without a switch it runs in the foreground
// (SIGINT or SIGTERM stop it, SIGUSR1 is user control 128). Its registry store and event log live in the
// state directory ($KESTREL_STATE_DIR), its mailslots in $KESTREL_MAILSLOT_DIR; KESTREL_TRACE=1 copies the
// trace lines to standard error.
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "service/core/DefragService.h"

int main(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(kestrel::FromUtf8(argv[i]));
    kestrel::core::DefragService service;
    return kestrel::RunServiceProgram(service, arguments);
}
