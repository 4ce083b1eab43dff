#include "platform/DriveTable.h"

#include <filesystem>
#include <system_error>

#include "common/Format.h"
#include "common/UpperCase.h"

namespace kestrel::drives {
namespace {

wchar_t UpperLetter(wchar_t letter) {
    if (letter >= L'a' && letter <= L'z')
        return static_cast<wchar_t>(letter - (L'a' - L'A'));
    return (letter >= L'A' && letter <= L'Z') ? letter : 0;
}

// A directory without trailing separators ("/" stays "/").
std::wstring TrimDirectory(std::wstring directory) {
    while (directory.size() > 1 && (directory.back() == L'/' || directory.back() == L'\\'))
        directory.pop_back();
    return directory;
}

class ListSearch : public MountPointSearch {
  public:
    explicit ListSearch(std::vector<std::wstring> rest) : rest_(std::move(rest)) {}
    bool Next(std::wstring& folder) override {
        if (next_ >= rest_.size())
            return false;
        folder = rest_[next_++];
        return true;
    }

  private:
    std::vector<std::wstring> rest_;
    std::size_t next_ = 0;
};

}  // namespace

std::wstring DriveTable::DefaultVolumeName(wchar_t letter) {
    return Format(L"\\\\?\\Volume{00000000-0000-0000-0000-0000000000%02X}\\",
                  static_cast<unsigned>(UpperLetter(letter)));
}

wchar_t DriveTable::LetterOfRoot(const std::wstring& root) {
    if (root.size() < 2 || root.size() > 3 || root[1] != L':')
        return 0;
    if (root.size() == 3 && root[2] != L'\\')
        return 0;
    return UpperLetter(root[0]);
}

void DriveTable::Set(wchar_t letter, DriveEntry entry) {
    letter = UpperLetter(letter);
    if (letter == 0)
        return;
    entry.directory = TrimDirectory(std::move(entry.directory));
    std::lock_guard lock(mutex_);
    entries_[letter] = std::move(entry);
    setNumbers_[letter] = ++sets_;
}

void DriveTable::Remove(wchar_t letter) {
    std::lock_guard lock(mutex_);
    entries_.erase(UpperLetter(letter));
}

std::optional<DriveEntry> DriveTable::Find(wchar_t letter) const {
    std::lock_guard lock(mutex_);
    auto it = entries_.find(UpperLetter(letter));
    if (it == entries_.end())
        return std::nullopt;
    return it->second;
}

std::wstring DriveTable::DirectoryOf(const std::wstring& path) const {
    if (path.size() < 2 || path[1] != L':')
        return {};
    auto entry = Find(path[0]);
    return entry ? entry->directory : std::wstring();
}

std::wstring DriveTable::VolumeNameLocked(wchar_t letter, const DriveEntry& entry) const {
    return entry.volumeName.empty() ? DefaultVolumeName(letter) : entry.volumeName;
}

std::vector<std::wstring> DriveTable::MountPointsLocked(wchar_t letter, const DriveEntry& entry) const {
    std::vector<std::wstring> folders = entry.mountPoints;
    if (entry.directory.empty())
        return folders;
    const std::wstring prefix = entry.directory == L"/" ? entry.directory : entry.directory + L"/";
    for (const auto& [other, otherEntry] : entries_) {
        if (other == letter || otherEntry.directory.size() <= prefix.size() ||
            otherEntry.directory.compare(0, prefix.size(), prefix) != 0)
            continue;
        std::wstring folder = otherEntry.directory.substr(prefix.size());
        for (wchar_t& c : folder) {
            if (c == L'/')
                c = L'\\';
        }
        folders.push_back(folder + L"\\");
    }
    return folders;
}

std::uint32_t DriveTable::DriveType(const std::wstring& root) {
    const wchar_t letter = LetterOfRoot(root);
    std::lock_guard lock(mutex_);
    auto it = entries_.find(letter);
    return it == entries_.end() ? kDriveNoRootDir : it->second.type;
}

bool DriveTable::DriveReady(const std::wstring& root) {
    auto entry = Find(LetterOfRoot(root));
    if (!entry || !entry->ready)
        return false;
    std::error_code error;
    return entry->directory.empty() ||
           std::filesystem::is_directory(std::filesystem::path(entry->directory), error);
}

std::wstring DriveTable::VolumeIdentity(const std::wstring& root) {
    const wchar_t letter = LetterOfRoot(root);
    std::lock_guard lock(mutex_);
    auto it = entries_.find(letter);
    if (it == entries_.end())
        return {};
    std::wstring identity = VolumeNameLocked(letter, it->second) + L"|" + it->second.directory + L"|" +
                            std::to_wstring(setNumbers_[letter]);
    // The directory itself: one deleted and made again, or covered by a mount, is another volume
    // whose files the layout has not followed.
    if (!it->second.directory.empty())
        identity += L"|" + DirectoryIdentity(it->second.directory);
    return identity;
}

bool DriveTable::VolumeNameForMountPoint(const std::wstring& mountPoint, std::wstring& volumeName) {
    if (mountPoint.size() < 3 || mountPoint[1] != L':' || mountPoint[2] != L'\\' ||
        mountPoint.back() != L'\\')
        return false;
    const wchar_t letter = UpperLetter(mountPoint[0]);
    std::lock_guard lock(mutex_);
    auto it = entries_.find(letter);
    if (it == entries_.end())
        return false;
    if (mountPoint.size() == 3) {
        volumeName = VolumeNameLocked(letter, it->second);
        return true;
    }
    const std::wstring folder = UpperCase(mountPoint.substr(3));
    const auto& explicitFolders = it->second.mountPoints;
    for (std::size_t i = 0; i < explicitFolders.size(); ++i) {
        if (UpperCase(explicitFolders[i]) == folder) {
            volumeName = Format(L"\\\\?\\Volume{00000000-0000-0000-%04X-0000000000%02X}\\",
                                static_cast<unsigned>(i + 1), static_cast<unsigned>(letter));
            return true;
        }
    }
    // A drive whose directory lies at that folder.
    if (it->second.directory.empty())
        return false;
    std::wstring sub = mountPoint.substr(3);
    sub.pop_back();
    for (wchar_t& c : sub) {
        if (c == L'\\')
            c = L'/';
    }
    const std::wstring wanted = (it->second.directory == L"/" ? L"" : it->second.directory) + L"/" + sub;
    for (const auto& [other, otherEntry] : entries_) {
        if (other != letter && otherEntry.directory == wanted) {
            volumeName = VolumeNameLocked(other, otherEntry);
            return true;
        }
    }
    return false;
}

bool DriveTable::VolumeInformation(const std::wstring& volumeName, std::uint32_t& fileSystemFlags,
                                   std::wstring& fileSystemName) {
    std::lock_guard lock(mutex_);
    for (const auto& [letter, entry] : entries_) {
        if (VolumeNameLocked(letter, entry) == volumeName) {
            fileSystemFlags = entry.fileSystemFlags;
            fileSystemName = entry.fileSystemName;
            return true;
        }
    }
    return false;
}

std::unique_ptr<MountPointSearch> DriveTable::FindFirstMountPoint(const std::wstring& volumeName,
                                                                  std::wstring& first) {
    std::lock_guard lock(mutex_);
    for (const auto& [letter, entry] : entries_) {
        if (VolumeNameLocked(letter, entry) != volumeName)
            continue;
        std::vector<std::wstring> folders = MountPointsLocked(letter, entry);
        if (folders.empty())
            return nullptr;
        first = folders.front();
        folders.erase(folders.begin());
        return std::make_unique<ListSearch>(std::move(folders));
    }
    return nullptr;
}

DriveTable& HostDriveTable() {
    static DriveTable table;
    return table;
}

}  // namespace kestrel::drives
