#include <windows.h>

#include "platform/SystemError.h"

namespace kestrel {

// The codes of platform/SystemError.h are the SDK's.
static_assert(kErrorSuccess == ERROR_SUCCESS);
static_assert(kErrorInvalidFunction == ERROR_INVALID_FUNCTION);
static_assert(kErrorFileNotFound == ERROR_FILE_NOT_FOUND);
static_assert(kErrorPathNotFound == ERROR_PATH_NOT_FOUND);
static_assert(kErrorTooManyOpenFiles == ERROR_TOO_MANY_OPEN_FILES);
static_assert(kErrorAccessDenied == ERROR_ACCESS_DENIED);
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(kErrorNotSameDevice == ERROR_NOT_SAME_DEVICE);
static_assert(kErrorWriteProtect == ERROR_WRITE_PROTECT);
static_assert(kErrorNotReady == ERROR_NOT_READY);
static_assert(kErrorWriteFault == ERROR_WRITE_FAULT);
static_assert(kErrorGenFailure == ERROR_GEN_FAILURE);
static_assert(kErrorSharingViolation == ERROR_SHARING_VIOLATION);
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(kErrorBrokenPipe == ERROR_BROKEN_PIPE);
static_assert(kErrorDiskFull == ERROR_DISK_FULL);
static_assert(kErrorCallNotImplemented == ERROR_CALL_NOT_IMPLEMENTED);
static_assert(kErrorSemTimeout == ERROR_SEM_TIMEOUT);
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(kErrorInvalidName == ERROR_INVALID_NAME);
static_assert(kErrorDirNotEmpty == ERROR_DIR_NOT_EMPTY);
static_assert(kErrorBadPathname == ERROR_BAD_PATHNAME);
static_assert(kErrorAlreadyExists == ERROR_ALREADY_EXISTS);
static_assert(kErrorFilenameExcedRange == ERROR_FILENAME_EXCED_RANGE);
static_assert(kErrorNoMoreItems == ERROR_NO_MORE_ITEMS);
static_assert(kErrorBadDatabase == ERROR_BADDB);
static_assert(kErrorKeyDeleted == ERROR_KEY_DELETED);
static_assert(kErrorServiceAlreadyRunning == ERROR_SERVICE_ALREADY_RUNNING);
static_assert(kErrorServiceDoesNotExist == ERROR_SERVICE_DOES_NOT_EXIST);
static_assert(kErrorServiceCannotAcceptCtrl == ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
static_assert(kErrorFailedServiceControllerConnect == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
static_assert(kErrorServiceSpecificError == ERROR_SERVICE_SPECIFIC_ERROR);
static_assert(kErrorServiceMarkedForDelete == ERROR_SERVICE_MARKED_FOR_DELETE);
static_assert(kErrorServiceExists == ERROR_SERVICE_EXISTS);
static_assert(kErrorServiceNotInExe == ERROR_SERVICE_NOT_IN_EXE);
static_assert(kErrorIoDevice == ERROR_IO_DEVICE);
static_assert(kErrorNoSystemResources == ERROR_NO_SYSTEM_RESOURCES);

std::wstring SystemErrorText(std::uint32_t code) {
    wchar_t* buffer = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
        code, 0x0400, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::wstring text;
    if (length != 0 && buffer != nullptr)
        text.assign(buffer, length);
    if (buffer != nullptr)
        LocalFree(buffer);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    return text;
}

}  // namespace kestrel
