#include "platform/SystemError.h"

#include <cerrno>

#include "common/Format.h"
#include "platform/host/ErrnoMapping.h"

namespace kestrel {

std::wstring SystemErrorText(std::uint32_t code) {
    switch (code) {
        case kErrorSuccess:
            return L"The operation completed successfully.";
        case kErrorInvalidFunction:
            return L"Incorrect function.";
        case kErrorFileNotFound:
            return L"The system cannot find the file specified.";
        case kErrorPathNotFound:
            return L"The system cannot find the path specified.";
        case kErrorTooManyOpenFiles:
            return L"The system cannot open the file.";
        case kErrorAccessDenied:
            return L"Access is denied.";
        case kErrorInvalidHandle:
            return L"The handle is invalid.";
        case kErrorNotEnoughMemory:
            return L"Not enough memory resources are available to process this command.";
        case kErrorWriteProtect:
            return L"The media is write protected.";
        case kErrorNotReady:
            return L"The device is not ready.";
        case kErrorSharingViolation:
            return L"The process cannot access the file because it is being used by another process.";
        case kErrorInvalidParameter:
            return L"The parameter is incorrect.";
        case kErrorDiskFull:
            return L"There is not enough space on the disk.";
        case kErrorCallNotImplemented:
            return L"This function is not supported on this system.";
        case kErrorSemTimeout:
            return L"The semaphore timeout period has expired.";
        case kErrorInvalidName:
            return L"The filename, directory name, or volume label syntax is incorrect.";
        case kErrorAlreadyExists:
            return L"Cannot create a file when that file already exists.";
        case kErrorFilenameExcedRange:
            return L"The filename or extension is too long.";
        case kErrorServiceDoesNotExist:
            return L"The specified service does not exist as an installed service.";
        case kErrorServiceExists:
            return L"The specified service already exists.";
        case kErrorNoSystemResources:
            return L"Insufficient system resources exist to complete the requested service.";
        default:
            return Format(L"Unknown error %u.", code);
    }
}

namespace host {

std::uint32_t Win32ErrorFromErrno(int error) {
    switch (error) {
        case 0:
            return kErrorSuccess;
        case ENOENT:
        case ECONNREFUSED:  // a local socket nobody reads any more: the name is gone
        case ENOTCONN:
            return kErrorFileNotFound;
        case ENOTDIR:  // a component on the way is not a directory
            return kErrorPathNotFound;
        case EMFILE:
        case ENFILE:
            return kErrorTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EISDIR:
        case ELOOP:  // a link where none is followed (O_NOFOLLOW)
            return kErrorAccessDenied;
        case EBADF:
            return kErrorInvalidHandle;
        case ENOMEM:
        case ENOBUFS:
            return kErrorNotEnoughMemory;
        case EXDEV:
            return kErrorNotSameDevice;
        case EROFS:
            return kErrorWriteProtect;
        case ETXTBSY:
            return kErrorSharingViolation;
        case EINVAL:
        case EMSGSIZE:
            return kErrorInvalidParameter;
        case EPIPE:
            return kErrorBrokenPipe;
        case ENOSPC:
        case EDQUOT:
            return kErrorDiskFull;
        case ENOTEMPTY:
            return kErrorDirNotEmpty;
        case EEXIST:
        case EADDRINUSE:
            return kErrorAlreadyExists;
        case ENAMETOOLONG:
            return kErrorFilenameExcedRange;
        case EIO:
            return kErrorIoDevice;
        default:
            return kErrorGenFailure;
    }
}

}  // namespace host
}  // namespace kestrel
