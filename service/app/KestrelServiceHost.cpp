// KestrelService on the host: the same service and switches; without a switch it runs in the foreground
// (SIGINT or SIGTERM stop it, SIGUSR1 is user control 128). Its registry store and event log live in the
// state directory ($KESTREL_STATE_DIR), its mailslots in $KESTREL_MAILSLOT_DIR; KESTREL_TRACE=1 copies the
// trace lines to standard error.
//
// Its drives are directories of real files, each with a simulated NTFS volume beneath it, given on the
// command line (platform/host/DirectoryDrives.h):
//     KestrelService --drive D=/path/to/dir [--drive E=...] [--volume-size 4G] [--cluster-size 4096]
// The service sees exactly those letters. When the service has ended, each drive's simulated volume is
// checked (consistent, and in step with the files of its directory) and the result printed to standard
// error; a failed check makes the exit status 70. "--time-divisor N" (or $KESTREL_TIME_DIVISOR) runs every
// period of the service N times faster, for demonstrations and tests. Any other argument ("--help" too)
// prints the usage to standard error and exits with 64 instead of starting the service.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "platform/Time.h"
#include "platform/host/DirectoryDrives.h"
#include "service/core/DefragService.h"

namespace {

constexpr int kExitUsage = 64;
// A drive's simulated volume failed its check at the end (EX_SOFTWARE).
constexpr int kExitInconsistent = 70;

void Complain(const std::string& text) {
    std::fprintf(stderr, "KestrelService: %s\n", text.c_str());
}

constexpr char kUsage[] =
    "Usage: KestrelService -v | -i | -u\n"
    "       KestrelService [--drive L=DIR]... [--volume-size SIZE] [--cluster-size N] [--time-divisor N]\n"
    "  -v  print the version and whether the service is installed\n"
    "  -i  install the service\n"
    "  -u  remove the service\n"
    "  --drive L=DIR       watch DIR as drive L (C to Z) over a simulated NTFS volume; may be repeated\n"
    "  --volume-size SIZE  bytes of each simulated volume (K, M, G, T suffixes; default: at least 1G and\n"
    "                      twice the bytes already in the directory)\n"
    "  --cluster-size N    bytes of a cluster, a power of two from 512 to 65536 (default 4096)\n"
    "  --time-divisor N    run every period of the service N times faster\n"
    "Without a switch the service runs in the foreground until SIGINT or SIGTERM; SIGUSR1 saves its status.\n"
    "State in $KESTREL_STATE_DIR, mailslots in $KESTREL_MAILSLOT_DIR; KESTREL_TRACE=1 traces to stderr.\n";

bool ParseDivisor(const std::wstring& text, std::uint32_t& divisor) {
    std::uint64_t value = 0;
    if (!kestrel::host::ParseByteCount(text, value) || value == 0 || value > 1000000 ||
        text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return false;
    divisor = static_cast<std::uint32_t>(value);
    return true;
}

// Takes "--time-divisor N" ("--time-divisor=N") out of the arguments; $KESTREL_TIME_DIVISOR otherwise.
bool TakeTimeDivisor(std::vector<std::wstring>& arguments, std::uint32_t& divisor, std::string& error) {
    divisor = 1;
    if (const char* env = std::getenv("KESTREL_TIME_DIVISOR"); env != nullptr && *env != '\0') {
        if (!ParseDivisor(kestrel::FromUtf8(env), divisor)) {
            error = "KESTREL_TIME_DIVISOR must be a whole number from 1 to 1000000";
            return false;
        }
    }
    std::vector<std::wstring> rest;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::wstring value;
        if (arguments[i] == L"--time-divisor") {
            if (i + 1 >= arguments.size()) {
                error = "--time-divisor needs a value";
                return false;
            }
            value = arguments[++i];
        } else if (arguments[i].rfind(L"--time-divisor=", 0) == 0) {
            value = arguments[i].substr(15);
        } else {
            rest.push_back(arguments[i]);
            continue;
        }
        if (!ParseDivisor(value, divisor)) {
            error = "--time-divisor takes a whole number from 1 to 1000000";
            return false;
        }
    }
    arguments.swap(rest);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::wstring> arguments;
    for (int i = 0; i < argc; ++i)
        arguments.push_back(kestrel::FromUtf8(argv[i]));
    std::string error;
    kestrel::host::DirectoryDriveOptions drives;
    std::uint32_t divisor = 1;
    if (!kestrel::host::TakeDirectoryDriveOptions(arguments, drives, error) ||
        !TakeTimeDivisor(arguments, divisor, error)) {
        Complain(error);
        return kExitUsage;
    }
    // What is left is the program's name and at most a switch: the service itself takes no arguments,
    // and anything else would otherwise start it silently in the foreground.
    if (arguments.size() > 1 && !kestrel::CNTService::IsConsoleSwitch(arguments[1])) {
        if (arguments[1] != L"--help" && arguments[1] != L"-h")
            Complain("unknown argument \"" + kestrel::ToUtf8(arguments[1]) + "\"");
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    kestrel::timing::SetTimeDivisor(divisor);
    if (!kestrel::host::MountDirectoryDrives(kestrel::host::HostDirectoryDrives(), drives, error)) {
        Complain(error);
        return 1;
    }
    int status = 0;
    {
        kestrel::core::DefragService service;
        status = kestrel::RunServiceProgram(service, arguments);
    }
    // The service and its watchers have ended: each drive's layout is checked against its directory.
    for (const auto& drive : drives.drives) {
        auto volume = kestrel::host::HostDirectoryDrives().Volume(drive.letter);
        if (!volume)
            continue;
        const std::string letter(1, static_cast<char>(drive.letter));
        const std::string fault = volume->Audit();
        if (fault.empty()) {
            Complain("drive " + letter + ": " + std::to_string(volume->FileCount()) + " files in " +
                     std::to_string(volume->FragmentCount()) +
                     " fragments; the simulated volume is consistent and in step with the directory");
        } else {
            Complain("drive " + letter + ": the simulated volume is not consistent: " + fault);
            if (status == 0)
                status = kExitInconsistent;
        }
    }
    return status;
}
