// Handle traits for kernel objects closed with CloseHandle. Windows adapters only.
#pragma once

#include <windows.h>

#include "platform/Handle.h"

namespace kestrel::win32 {

// Kernel objects whose invalid value is null (events, semaphores, threads ...).
struct KernelHandleTraits {
    using value_type = HANDLE;
    static HANDLE Invalid() noexcept { return nullptr; }
    static void Close(HANDLE h) noexcept { CloseHandle(h); }
};
using KernelHandle = UniqueHandle<KernelHandleTraits>;

// Files, devices and mailslots, whose invalid value is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
    using value_type = HANDLE;
    static HANDLE Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) noexcept { CloseHandle(h); }
};
using FileHandle = UniqueHandle<FileHandleTraits>;

}  // namespace kestrel::win32
