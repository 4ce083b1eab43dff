// The change notification that syncs a simulated layout before the watcher's handler runs; see the header.
#include "platform/LayoutSyncingChangeNotification.h"

#include <cstddef>
#include <cstring>
#include <string>

#include "common/Utf16.h"
#include "platform/FsRecords.h"

namespace kestrel::notify {
namespace {

constexpr std::size_t kRecordHeader = offsetof(fs::FILE_NOTIFY_INFORMATION, FileName);

wchar_t UpperLetter(wchar_t letter) {
    if (letter >= L'a' && letter <= L'z')
        return static_cast<wchar_t>(letter - L'a' + L'A');
    return (letter >= L'A' && letter <= L'Z') ? letter : 0;
}

std::uint32_t ReadU32(const std::uint8_t* p) {
    std::uint32_t value;
    std::memcpy(&value, p, sizeof value);
    return value;
}

class SyncingWatch : public DirectoryWatch, private BatchHandler {
  public:
    SyncingWatch(std::unique_ptr<DirectoryWatch> inner, std::shared_ptr<drives::DriveLayout> layout)
        : inner_(std::move(inner)), layout_(std::move(layout)) {}
    std::intptr_t Value() const override { return inner_->Value(); }
    std::uint32_t Read(void* buffer, std::uint32_t size, BatchHandler& handler) override {
        buffer_ = static_cast<const std::uint8_t*>(buffer);
        size_ = size;
        handler_ = &handler;
        return inner_->Read(buffer, size, *this);
    }
    WaitResult Wait(timing::Event& stop) override { return inner_->Wait(stop); }

  private:
    void OnBatch(std::uint32_t error, std::uint32_t bytes) override {
        if (bytes != 0)
            SyncBatch(*layout_, buffer_, bytes < size_ ? bytes : size_);
        else if (error == kErrorNotifyEnumDir)
            layout_->TreeChanged(L"\\");
        handler_->OnBatch(error, bytes);
    }

    std::unique_ptr<DirectoryWatch> inner_;
    std::shared_ptr<drives::DriveLayout> layout_;
    const std::uint8_t* buffer_ = nullptr;
    std::uint32_t size_ = 0;
    BatchHandler* handler_ = nullptr;
};

}  // namespace

std::size_t SyncBatch(drives::DriveLayout& layout, const std::uint8_t* batch, std::uint32_t bytes) {
    std::size_t synced = 0;
    std::size_t offset = 0;
    std::u16string name;
    while (bytes - offset >= kRecordHeader) {
        const std::uint8_t* record = batch + offset;
        const std::uint32_t next = ReadU32(record);
        const std::uint32_t action = ReadU32(record + 4);
        const std::uint32_t nameBytes = ReadU32(record + 8);
        if (action == 0 || action > fs::kFileActionRenamedNewName ||
            nameBytes > bytes - offset - kRecordHeader || nameBytes % 2 != 0)
            break;
        name.resize(nameBytes / 2);
        std::memcpy(name.data(), record + kRecordHeader, nameBytes);
        layout.FileChanged(L"\\" + FromUtf16(name));
        ++synced;
        if (next == 0 || next >= bytes - offset)
            break;
        offset += next;
    }
    return synced;
}

void LayoutSyncingChangeNotification::Add(wchar_t letter, std::shared_ptr<drives::DriveLayout> layout) {
    letter = UpperLetter(letter);
    if (letter == 0 || !layout)
        return;
    std::lock_guard lock(mutex_);
    layouts_[letter] = std::move(layout);
}

std::unique_ptr<DirectoryWatch> LayoutSyncingChangeNotification::Open(const std::wstring& root,
                                                                      std::uint32_t& error) {
    std::unique_ptr<DirectoryWatch> watch = inner_.Open(root, error);
    if (!watch || root.empty())
        return watch;
    std::shared_ptr<drives::DriveLayout> layout;
    {
        std::lock_guard lock(mutex_);
        auto it = layouts_.find(UpperLetter(root[0]));
        if (it == layouts_.end())
            return watch;
        layout = it->second;
    }
    // The files may have changed since the layout was made.
    layout->TreeChanged(L"\\");
    return std::make_unique<SyncingWatch>(std::move(watch), std::move(layout));
}

}  // namespace kestrel::notify
