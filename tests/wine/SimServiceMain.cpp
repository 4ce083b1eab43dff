// KestrelServiceSimTest: a test build of the service program, never shipped. It is KestrelService with one
// difference: the file-system control of one drive is a simulated NTFS volume laid beneath the drive's
// directory (Wine cannot answer the volume requests), kept in step with the files by the system's own
// change notification (ReadDirectoryChangesW) before each batch reaches the watcher. Everything else is
// the real thing: the service manager, the registry, the mailslots, the watcher's threads. Its drives are
// exactly the simulated one.
//
//     KestrelServiceSimTest [--sim-drive K=DIRECTORY] [--time-divisor N] [-v | -i | -u]
//
// The options may also be written into "KestrelServiceSimTest.exe.options" beside the program, which is
// how a test gives them to the program that the service manager starts.
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "common/Utf16.h"
#include "platform/ChangeNotification.h"
#include "platform/DriveTable.h"
#include "platform/LayoutSyncingChangeNotification.h"
#include "platform/Time.h"
#include "platform/sim/DirectoryVolume.h"
#include "platform/sim/SimFileSystem.h"
#include "service/core/DefragService.h"

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> words(argv, argv + argc);
    // Options may also stand in "<program>.options", one line separated by spaces: the service manager
    // starts the program with the image path it was installed with.
    if (argc > 0) {
        std::ifstream file(std::filesystem::path(std::wstring(argv[0]) + L".options"));
        std::string word;
        while (file >> word)
            words.push_back(kestrel::FromUtf8(word));
    }
    std::vector<std::wstring> arguments;
    wchar_t letter = 0;
    std::wstring directory;
    for (std::size_t i = 0; i < words.size(); ++i) {
        const std::wstring& argument = words[i];
        if (argument == L"--sim-drive" && i + 1 < words.size()) {
            const std::wstring& value = words[++i];
            if (value.size() < 3 || value[1] != L'=')
                return 64;
            letter = value[0];
            directory = value.substr(2);
        } else if (argument == L"--time-divisor" && i + 1 < words.size()) {
            const long divisor = std::wcstol(words[++i].c_str(), nullptr, 10);
            if (divisor < 1 || divisor > 1000000)
                return 64;
            kestrel::timing::SetTimeDivisor(static_cast<std::uint32_t>(divisor));
        } else {
            arguments.push_back(argument);
        }
    }
    static kestrel::sim::SimFileSystem fileSystem;
    // The service's drives are exactly the simulated one, as in host mode.
    static kestrel::drives::DriveTable drives;
    static kestrel::notify::LayoutSyncingChangeNotification changes(
        kestrel::notify::DefaultChangeNotification());
    std::shared_ptr<kestrel::sim::DirectoryVolume> volume;
    if (letter != 0) {
        std::string error;
        volume =
            kestrel::sim::DirectoryVolume::Create(std::filesystem::path(directory), {64u << 20, 4096}, error);
        if (!volume) {
            std::fprintf(stderr, "KestrelServiceSimTest: %s\n", error.c_str());
            return 1;
        }
        fileSystem.Mount(letter, volume->Volume());
        changes.Add(letter, volume);
        drives.Set(letter, {});
    }
    kestrel::core::ServicePlatform platform;
    platform.drives.watchers.changes = &changes;
    platform.drives.watchers.fileSystem = &fileSystem;
    if (letter != 0)
        platform.drives.watchers.drives = &drives;
    kestrel::core::DefragService service(platform);
    return kestrel::RunServiceProgram(service, arguments);
}
