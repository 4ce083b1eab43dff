// The change-notification boundary: batches of FILE_NOTIFY_INFORMATION records (platform/FsRecords.h)
// for the whole of one drive, delivered on the thread that waits for them.
//
// Windows (win32/ChangeNotification.cpp): the drive's root opened with CreateFileW (FILE_LIST_DIRECTORY,
// sharing read, write and delete, backup semantics, overlapped); each Read is one ReadDirectoryChangesW
// (watch subtree, FILE_NOTIFY_CHANGE_SIZE only) with a completion routine; Wait is an alertable wait on
// the stop event, inside which the completion routine runs the handler. The OVERLAPPED lives in the
// adapter's own object, never in core code.
//
// Host (host/InotifyChangeNotification.cpp): inotify over the directory that backs the drive in the host
// drive table (platform/DriveTable.h), every directory of the subtree, new directories followed as they
// appear, moved and deleted ones dropped. A write that changes a file's size becomes a record with
// action FILE_ACTION_MODIFIED and the file's path relative to the root, with backslashes, exactly as
// Windows reports it; so the handler is one code path for both. So do a file closed after writes that
// left its size as it was (a rewrite after a truncation looks the same to inotify) and every file with
// data moved in from outside the root (a copy, on Windows).
//
// Tests (ScriptedChangeNotification.h): scripted batches.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/Time.h"

namespace kestrel::notify {

// Win32 errors a completion can carry.
inline constexpr std::uint32_t kErrorSuccess = 0;
inline constexpr std::uint32_t kErrorInvalidFunction = 1;
inline constexpr std::uint32_t kErrorPathNotFound = 3;
inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorInvalidName = 123;
inline constexpr std::uint32_t kErrorOperationAborted = 995;  // the request was cancelled
inline constexpr std::uint32_t kErrorNotifyEnumDir = 1022;    // more changes than the buffer could hold

// Receives the completion of one Read, on the thread that called Wait.
class BatchHandler {
  public:
    virtual ~BatchHandler() = default;
    // `bytes` bytes of records were written to the Read's buffer (0 when the buffer overflowed and the
    // changes were lost, or when the request was cancelled; `error` tells which). The buffer is not touched
    // again until the next Read.
    virtual void OnBatch(std::uint32_t error, std::uint32_t bytes) = 0;
};

enum class WaitResult {
    Completed,  // the outstanding Read completed and its handler has run
    Stopped,    // the stop event is signalled
};

// One drive's root opened for change notification. Used by one thread (the watcher's change thread).
// Destroying it closes the handle; a Read still outstanding is cancelled and its handler never runs.
class DirectoryWatch {
  public:
    virtual ~DirectoryWatch() = default;
    // The handle's value, for trace lines.
    virtual std::intptr_t Value() const = 0;
    // Asks for the next batch of size changes anywhere below the root, into `buffer` (`size` bytes, alive
    // and untouched until the handler has run or the watch is destroyed). One Read may be outstanding at a
    // time. Returns 0 when the request is issued, else a Win32 error (nothing is then outstanding).
    virtual std::uint32_t Read(void* buffer, std::uint32_t size, BatchHandler& handler) = 0;
    // Waits until the stop event is signalled or the outstanding Read completes; in the second case the
    // handler runs on this thread before Wait returns. With nothing outstanding it waits for the stop event.
    virtual WaitResult Wait(timing::Event& stop) = 0;
    // False once the change source knows that nothing will ever arrive again (the host's directory that
    // backed the root was removed or replaced). Any thread. On Windows a dead root shows itself by failed
    // reads and error completions instead, so the default answers true.
    virtual bool Alive() const { return true; }
};

class ChangeNotification {
  public:
    virtual ~ChangeNotification() = default;
    // Opens a drive root ("C:\") for change notification. Null and a Win32 error (path not found,
    // invalid name, access denied ...) when it cannot be opened. The caller owns the watch. Thread-safe.
    virtual std::unique_ptr<DirectoryWatch> Open(const std::wstring& root, std::uint32_t& error) = 0;
};

// The change notification of this process: ReadDirectoryChangesW on Windows; on the host, inotify over
// the host drive table.
ChangeNotification& DefaultChangeNotification();

}  // namespace kestrel::notify
