// Windows console: WriteConsoleW on a console; when standard output is redirected, the text in the
// console's code page with CR LF line ends.
#include <windows.h>

#include <mutex>
#include <string>

#include "platform/Console.h"

namespace kestrel::console {

void WritePlatform(std::wstring_view text) {
    static std::mutex mutex;
    std::lock_guard lock(mutex);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return;
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    // Redirected: text-mode output, in the console's code page, with CR LF line ends.
    std::wstring lines;
    for (wchar_t c : text) {
        if (c == L'\n')
            lines += L'\r';
        lines += c;
    }
    UINT codePage = GetConsoleOutputCP();
    if (codePage == 0)
        codePage = CP_ACP;
    int bytes = WideCharToMultiByte(codePage, 0, lines.data(), static_cast<int>(lines.size()), nullptr, 0,
                                    nullptr, nullptr);
    if (bytes <= 0)
        return;
    std::string buffer(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, lines.data(), static_cast<int>(lines.size()), buffer.data(), bytes,
                        nullptr, nullptr);
    WriteFile(out, buffer.data(), static_cast<DWORD>(buffer.size()), &written, nullptr);
}

}  // namespace kestrel::console
