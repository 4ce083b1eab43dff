// Host mode's directory-backed drives and their command-line options; see DirectoryDrives.h.
#include "platform/host/DirectoryDrives.h"

#include <limits>
#include <system_error>

#include "common/Utf16.h"

namespace kestrel::host {
namespace {

namespace stdfs = std::filesystem;

wchar_t UpperLetter(wchar_t letter) {
    if (letter >= L'a' && letter <= L'z')
        return static_cast<wchar_t>(letter - L'a' + L'A');
    return (letter >= L'A' && letter <= L'Z') ? letter : 0;
}

std::wstring WideOf(const stdfs::path& path) {
    const std::u8string utf8 = path.u8string();
    return FromUtf8(std::string(utf8.begin(), utf8.end()));
}

stdfs::path PathOf(const std::wstring& text) {
    const std::string utf8 = ToUtf8(text);
    return stdfs::path(std::u8string(utf8.begin(), utf8.end()));
}

}  // namespace

DirectoryDrives::DirectoryDrives(drives::DriveTable& table, sim::SimFileSystem& fileSystem)
    : table_(table), fileSystem_(fileSystem) {}

DirectoryDrives::~DirectoryDrives() {
    for (wchar_t letter : Letters())
        Unmount(letter);
}

bool DirectoryDrives::Mount(wchar_t letter, const stdfs::path& directory,
                            const sim::DirectoryVolumeSettings& settings, std::string& error) {
    letter = UpperLetter(letter);
    if (letter == 0) {
        error = "a drive letter is one of A to Z";
        return false;
    }
    // The table compares directories as text (drives inside other drives' directories): an absolute,
    // normal form.
    std::error_code ec;
    stdfs::path absolute = stdfs::weakly_canonical(stdfs::absolute(directory, ec), ec);
    if (ec)
        absolute = directory;
    auto volume = sim::DirectoryVolume::Create(absolute, settings, error);
    if (!volume)
        return false;
    std::lock_guard lock(mutex_);
    if (auto old = volumes_.find(letter); old != volumes_.end()) {
        fileSystem_.Unmount(letter);
        retired_.push_back(std::move(old->second));
    }
    fileSystem_.Mount(letter, volume->Volume());
    drives::DriveEntry entry = drives::BackedBy(WideOf(absolute));
    entry.layout = volume;
    table_.Set(letter, std::move(entry));
    volumes_[letter] = std::move(volume);
    return true;
}

void DirectoryDrives::Unmount(wchar_t letter) {
    letter = UpperLetter(letter);
    std::lock_guard lock(mutex_);
    auto it = volumes_.find(letter);
    if (it == volumes_.end())
        return;
    table_.Remove(letter);
    fileSystem_.Unmount(letter);
    retired_.push_back(std::move(it->second));
    volumes_.erase(it);
}

std::shared_ptr<sim::DirectoryVolume> DirectoryDrives::Volume(wchar_t letter) const {
    std::lock_guard lock(mutex_);
    auto it = volumes_.find(UpperLetter(letter));
    return it == volumes_.end() ? nullptr : it->second;
}

std::vector<wchar_t> DirectoryDrives::Letters() const {
    std::lock_guard lock(mutex_);
    std::vector<wchar_t> letters;
    for (const auto& [letter, volume] : volumes_)
        letters.push_back(letter);
    return letters;
}

DirectoryDrives& HostDirectoryDrives() {
    static DirectoryDrives drives(drives::HostDriveTable(), HostSimFileSystem());
    return drives;
}

bool ParseByteCount(const std::wstring& text, std::uint64_t& bytes) {
    std::size_t digits = 0;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    while (digits < text.size() && text[digits] >= L'0' && text[digits] <= L'9') {
        const auto digit = static_cast<std::uint64_t>(text[digits] - L'0');
        if (value > (kMax - digit) / 10)
            return false;
        value = value * 10 + digit;
        ++digits;
    }
    if (digits == 0 || text.size() > digits + 1)
        return false;
    int shift = 0;
    if (digits < text.size()) {
        switch (text[digits]) {
            case L'k':
            case L'K':
                shift = 10;
                break;
            case L'm':
            case L'M':
                shift = 20;
                break;
            case L'g':
            case L'G':
                shift = 30;
                break;
            case L't':
            case L'T':
                shift = 40;
                break;
            default:
                return false;
        }
    }
    if (shift != 0 && value > (kMax >> shift))
        return false;
    bytes = value << shift;
    return true;
}

bool TakeDirectoryDriveOptions(std::vector<std::wstring>& arguments, DirectoryDriveOptions& options,
                               std::string& error) {
    std::vector<std::wstring> rest;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::wstring& argument = arguments[i];
        std::wstring name = argument, value;
        bool inlineValue = false;
        if (const std::size_t equals = argument.find(L'=');
            argument.rfind(L"--", 0) == 0 && equals != std::wstring::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
            inlineValue = true;
        }
        if (name != L"--drive" && name != L"--volume-size" && name != L"--cluster-size") {
            rest.push_back(argument);
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= arguments.size()) {
                error = ToUtf8(name) + " needs a value";
                return false;
            }
            value = arguments[++i];
        }
        if (name == L"--drive") {
            // "D=/path" (or "D:=/path").
            const std::size_t equals = value.find(L'=');
            const std::wstring letterText = equals == std::wstring::npos ? value : value.substr(0, equals);
            const wchar_t letter = letterText.empty() ? 0 : UpperLetter(letterText[0]);
            const bool letterOk =
                letter != 0 && (letterText.size() == 1 || (letterText.size() == 2 && letterText[1] == L':'));
            if (equals == std::wstring::npos || !letterOk || equals + 1 >= value.size()) {
                error = "--drive takes a letter and a directory, as in --drive D=/path/to/dir";
                return false;
            }
            if (letter < L'C') {
                error = "the service scans the drive letters C to Z";
                return false;
            }
            for (const auto& drive : options.drives) {
                if (drive.letter == letter) {
                    error = "the drive letter " + ToUtf8(std::wstring(1, letter)) + " is given twice";
                    return false;
                }
            }
            options.drives.push_back({letter, PathOf(value.substr(equals + 1))});
        } else {
            std::uint64_t bytes = 0;
            if (!ParseByteCount(value, bytes) || bytes == 0) {
                error = ToUtf8(name) + " takes a byte count, as in 4096, 64M or 2G";
                return false;
            }
            if (name == L"--volume-size") {
                options.settings.volumeBytes = bytes;
            } else if (bytes > std::numeric_limits<std::uint32_t>::max()) {
                error = "--cluster-size is at most 65536 bytes";
                return false;
            } else {
                options.settings.clusterBytes = static_cast<std::uint32_t>(bytes);
            }
        }
    }
    arguments.swap(rest);
    return true;
}

bool MountDirectoryDrives(DirectoryDrives& drives, const DirectoryDriveOptions& options, std::string& error) {
    for (const auto& drive : options.drives) {
        std::string why;
        if (!drives.Mount(drive.letter, drive.directory, options.settings, why)) {
            error = ToUtf8(std::wstring(1, drive.letter)) + ": " + why;
            return false;
        }
    }
    return true;
}

}  // namespace kestrel::host
