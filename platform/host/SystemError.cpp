#include "platform/SystemError.h"

#include "common/Format.h"

namespace kestrel {

std::wstring SystemErrorText(std::uint32_t code) {
    switch (code) {
        case 0: return L"The operation completed successfully.";
        case 1: return L"Incorrect function.";
        case 2: return L"The system cannot find the file specified.";
        case 3: return L"The system cannot find the path specified.";
        case 5: return L"Access is denied.";
        case 6: return L"The handle is invalid.";
        case 21: return L"The device is not ready.";
        case 32: return L"The process cannot access the file because it is being used by another process.";
        case 87: return L"The parameter is incorrect.";
        case 123: return L"The filename, directory name, or volume label syntax is incorrect.";
        case 183: return L"Cannot create a file when that file already exists.";
        case 206: return L"The filename or extension is too long.";
        case 1060: return L"The specified service does not exist as an installed service.";
        case 1073: return L"The specified service already exists.";
        default: return Format(L"Unknown error %u.", code);
    }
}

}  // namespace kestrel
