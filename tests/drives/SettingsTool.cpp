// A small Windows program around the settings store, so that a script can write the service's registry
// layout with the real registry calls and compare it with what `reg query` shows (and the other way
// round). It works on the service's own parameters key under HKEY_LOCAL_MACHINE.
//
//   settings_tool write          writes a known layout: lifetime 1234, C watched with "Move" 0 and two
//                                exclusions ("c:\temp\" and "\Cache\"), D not watched, a queue of three
//                                files for C; prints "written"
//   settings_tool read           prints what the store reads: "lifetime N", "watching L 0|1" and
//                                "move L N" for C, D and E, "exclusion P" for each of C's exclusions,
//                                then restores C's queue: "restored P" for each path
//   settings_tool remove PATH    removes an exclusion of C; prints "removed 0|1" and "left P" for each
//                                exclusion left
//
// Exit code 2: bad usage.
#include <cstdio>
#include <string>

#include "common/Utf16.h"
#include "service/drives/SettingsStore.h"

namespace {

using kestrel::drives::SettingsStore;

void Print(const std::wstring& text) {
    std::string bytes = kestrel::ToUtf8(text);
    bytes += '\n';
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void Write(SettingsStore& store) {
    store.CreateKeys();
    store.LoadLifeTime();
    store.SaveLifeTime(1234);
    store.SetWatching(L"C:\\");
    store.StopWatching(L"D:\\");
    store.WriteMove(L"C:\\", 0);
    store.AddExclusion(L"C:\\", L"c:\\temp\\");
    store.AddExclusion(L"C:\\", L"\\Cache\\");
    store.SaveQueue(L"C:\\", {L"C:\\one.txt", L"C:\\dir\\two.txt", L"C:\\three.txt"});
    Print(L"written");
}

void Read(SettingsStore& store) {
    Print(L"lifetime " + std::to_wstring(store.LoadLifeTime()));
    for (const wchar_t* drive : {L"C:\\", L"D:\\", L"E:\\"}) {
        std::wstring letter(1, drive[0]);
        Print(L"watching " + letter + L" " + (store.IsWatching(drive) ? L"1" : L"0"));
        Print(L"move " + letter + L" " + std::to_wstring(store.ReadMove(drive)));
    }
    store.GetExclusions(L"C:\\", [](const std::wstring& path) { Print(L"exclusion " + path); });
    store.RestoreQueue(3, [](const std::wstring& path) { Print(L"restored " + path); });
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SettingsStore store(kestrel::reg::SystemRegistry());
    std::wstring command = argc > 1 ? argv[1] : L"";
    if (command == L"write" && argc == 2) {
        Write(store);
    } else if (command == L"read" && argc == 2) {
        Read(store);
    } else if (command == L"remove" && argc == 3) {
        std::vector<std::wstring> left;
        Print(std::wstring(L"removed ") + (store.RemoveExclusion(L"C:\\", argv[2], &left) ? L"1" : L"0"));
        for (const std::wstring& path : left)
            Print(L"left " + path);
    } else {
        std::fputs("usage: settings_tool write | read | remove PATH\n", stderr);
        return 2;
    }
    return 0;
}
