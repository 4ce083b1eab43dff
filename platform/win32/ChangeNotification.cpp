// Windows change notification: ReadDirectoryChangesW on the drive's root with a completion routine. The
// routine is queued to the thread that issued the read and runs inside that thread's alertable wait.
#include <windows.h>

#include "platform/ChangeNotification.h"
#include "platform/FsRecords.h"

namespace kestrel::notify {
namespace {

static_assert(sizeof(fs::FILE_NOTIFY_INFORMATION) == sizeof(FILE_NOTIFY_INFORMATION));
static_assert(offsetof(fs::FILE_NOTIFY_INFORMATION, NextEntryOffset) ==
              offsetof(FILE_NOTIFY_INFORMATION, NextEntryOffset));
static_assert(offsetof(fs::FILE_NOTIFY_INFORMATION, Action) == offsetof(FILE_NOTIFY_INFORMATION, Action));
static_assert(offsetof(fs::FILE_NOTIFY_INFORMATION, FileNameLength) ==
              offsetof(FILE_NOTIFY_INFORMATION, FileNameLength));
static_assert(offsetof(fs::FILE_NOTIFY_INFORMATION, FileName) == offsetof(FILE_NOTIFY_INFORMATION, FileName));
static_assert(fs::kFileActionRenamedNewName == FILE_ACTION_RENAMED_NEW_NAME);

class Win32DirectoryWatch;

// The OVERLAPPED comes first, so that the completion routine can turn the pointer it receives back into
// the request, and from there into the watch.
struct Request {
    OVERLAPPED overlapped;
    Win32DirectoryWatch* owner;
};

class Win32DirectoryWatch : public DirectoryWatch {
  public:
    explicit Win32DirectoryWatch(HANDLE directory) : directory_(directory) {
        ZeroMemory(&request_, sizeof request_);
        request_.owner = this;
    }

    ~Win32DirectoryWatch() override {
        if (outstanding_) {
            // The read may still write into the buffer and the OVERLAPPED; end it before either goes.
            CancelIoEx(directory_, &request_.overlapped);
            DWORD bytes = 0;
            GetOverlappedResult(directory_, &request_.overlapped, &bytes, TRUE);
        }
        CloseHandle(directory_);
    }

    std::intptr_t Value() const override { return reinterpret_cast<std::intptr_t>(directory_); }

    std::uint32_t Read(void* buffer, std::uint32_t size, BatchHandler& handler) override {
        if (outstanding_)
            return ERROR_INVALID_FUNCTION;
        request_.overlapped.Internal = 0;
        request_.overlapped.InternalHigh = 0;
        request_.overlapped.Offset = 0;
        request_.overlapped.OffsetHigh = 0;
        handler_ = &handler;
        DWORD returned = 0;
        if (!ReadDirectoryChangesW(directory_, buffer, size, TRUE, FILE_NOTIFY_CHANGE_SIZE, &returned,
                                   &request_.overlapped, &Completion))
            return GetLastError();
        outstanding_ = true;
        return 0;
    }

    WaitResult Wait(timing::Event& stop) override {
        for (;;) {
            const int result = timing::WaitAnyAlertable({&stop}, timing::kInfinite);
            if (result == 0)
                return WaitResult::Stopped;
            if (result == timing::kWaitIoCompletion && !outstanding_)
                return WaitResult::Completed;
            if (result == timing::kWaitFailed) {
                // Nothing to wait on: behave as a stopped watch rather than spin.
                return WaitResult::Stopped;
            }
        }
    }

  private:
    static VOID CALLBACK Completion(DWORD error, DWORD bytes, LPOVERLAPPED overlapped) {
        Win32DirectoryWatch* self = reinterpret_cast<Request*>(overlapped)->owner;
        self->outstanding_ = false;
        if (self->handler_ != nullptr)
            self->handler_->OnBatch(error, bytes);
    }

    HANDLE directory_;
    Request request_;
    BatchHandler* handler_ = nullptr;
    bool outstanding_ = false;
};

class Win32ChangeNotification : public ChangeNotification {
  public:
    std::unique_ptr<DirectoryWatch> Open(const std::wstring& root, std::uint32_t& error) override {
        HANDLE directory = CreateFileW(
            root.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        if (directory == INVALID_HANDLE_VALUE) {
            error = GetLastError();
            return nullptr;
        }
        error = 0;
        return std::make_unique<Win32DirectoryWatch>(directory);
    }
};

}  // namespace

ChangeNotification& DefaultChangeNotification() {
    static Win32ChangeNotification notification;
    return notification;
}

}  // namespace kestrel::notify
