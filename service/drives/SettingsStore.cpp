#include "service/drives/SettingsStore.h"

#include <algorithm>
#include <utility>

#include "common/UpperCase.h"
#include "common/Utf16.h"
#include "common/protocol/Protocol.h"

namespace kestrel::drives {
namespace {

constexpr std::wstring_view kLifeTime = L"LifeTime";
constexpr std::wstring_view kMove = L"Move";
constexpr std::wstring_view kWatchingDrives = L"WatchingDrives";
constexpr std::wstring_view kFilesFor = L"FilesFor ";

std::wstring Number(std::size_t n) {
    return std::to_wstring(n);
}

// The text, stored as UTF-16 with its NUL, fits a reading buffer of `bufferChars` wide characters.
bool Fits(std::wstring_view text, std::size_t bufferChars) {
    return ToUtf16(text).size() + 1 <= bufferChars;
}

}  // namespace

SettingsStore::SettingsStore(reg::Registry& registry, reg::RawKey root, std::wstring parametersPath)
    : registry_(registry), root_(root), parametersPath_(std::move(parametersPath)) {}

std::optional<int> SettingsStore::IndexOf(std::wstring_view drive) {
    if (drive.empty() || drive[0] < L'A' || drive[0] > L'Z')
        return std::nullopt;
    return static_cast<int>(drive[0]) - 64;
}

std::optional<wchar_t> SettingsStore::LetterOf(int driveIndex) {
    if (driveIndex < 1 || driveIndex > 26)
        return std::nullopt;
    return static_cast<wchar_t>(L'A' + driveIndex - 1);
}

std::wstring SettingsStore::WatchingDrivesPath() const {
    return parametersPath_ + L"\\" + std::wstring(kWatchingDrives);
}

std::wstring SettingsStore::DrivePath(wchar_t letter) const {
    return parametersPath_ + L"\\" + letter;
}

std::wstring SettingsStore::QueuePath(wchar_t letter) const {
    return parametersPath_ + L"\\" + std::wstring(kFilesFor) + letter;
}

reg::Key SettingsStore::CreateKey(const std::wstring& path) {
    return registry_.Create(root_, path, kSettingsAccess);
}

reg::Key SettingsStore::OpenKey(const std::wstring& path) {
    return registry_.Open(root_, path, kSettingsAccess);
}

// Value `number` as a string under the reading rules: REG_SZ or REG_EXPAND_SZ, an even byte length,
// a NUL as the last character, and no more than `bufferChars` characters including it.
std::optional<std::wstring> SettingsStore::ReadString(reg::RawKey key, std::size_t number,
                                                      std::size_t bufferChars) {
    reg::Value value;
    if (registry_.QueryValue(key, Number(number), &value) != reg::kErrorSuccess)
        return std::nullopt;
    if (value.data.size() > bufferChars * 2)
        return std::nullopt;
    return value.AsString();
}

std::vector<std::wstring> SettingsStore::ReadExclusions(reg::RawKey key, std::size_t limit) {
    std::vector<std::wstring> paths;
    for (std::size_t i = 0; i < limit; ++i) {
        std::optional<std::wstring> path = ReadString(key, i, kExclusionBufferChars);
        if (!path)
            break;
        paths.push_back(std::move(*path));
    }
    return paths;
}

bool SettingsStore::CreateKeys() {
    reg::Key parameters = CreateKey(parametersPath_);
    reg::Key watching = CreateKey(WatchingDrivesPath());
    return parameters && watching;
}

std::int32_t SettingsStore::LoadLifeTime() {
    reg::Key key = CreateKey(parametersPath_);
    if (!key)
        return 0;
    reg::Value value;
    std::uint32_t error = registry_.QueryValue(key.get(), kLifeTime, &value);
    if (error == reg::kErrorSuccess) {
        if (std::optional<std::uint32_t> total = value.AsDword())
            return static_cast<std::int32_t>(*total);
    } else if (error != reg::kErrorFileNotFound) {
        return 0;  // unreadable, not absent: leave it alone
    }
    registry_.SetValue(key.get(), kLifeTime, reg::Value::Dword(0));
    return 0;
}

void SettingsStore::SaveLifeTime(std::int32_t total) {
    reg::Key key = OpenKey(parametersPath_);
    if (key)
        registry_.SetValue(key.get(), kLifeTime, reg::Value::Dword(static_cast<std::uint32_t>(total)));
}

bool SettingsStore::IsWatching(int driveIndex) {
    if (!LetterOf(driveIndex))
        return true;
    reg::Key key = CreateKey(WatchingDrivesPath());
    if (!key)
        return true;
    reg::Value value;
    if (registry_.QueryValue(key.get(), Number(static_cast<std::size_t>(driveIndex)), &value) !=
        reg::kErrorSuccess)
        return true;
    std::optional<std::uint32_t> watching = value.AsDword();
    return !watching || *watching != 0;
}

bool SettingsStore::IsWatching(std::wstring_view drive) {
    std::optional<int> index = IndexOf(drive);
    return index ? IsWatching(*index) : true;
}

bool SettingsStore::WriteWatching(std::wstring_view drive, std::uint32_t value) {
    std::optional<int> index = IndexOf(drive);
    if (!index)
        return false;
    reg::Key key = CreateKey(WatchingDrivesPath());
    return key && registry_.SetValue(key.get(), Number(static_cast<std::size_t>(*index)),
                                     reg::Value::Dword(value)) == reg::kErrorSuccess;
}

bool SettingsStore::SetWatching(std::wstring_view drive) {
    return WriteWatching(drive, 1);
}

bool SettingsStore::StopWatching(std::wstring_view drive) {
    return WriteWatching(drive, 0);
}

std::uint32_t SettingsStore::ReadMove(int driveIndex) {
    std::optional<wchar_t> letter = LetterOf(driveIndex);
    if (!letter)
        return 1;
    reg::Key key = CreateKey(DrivePath(*letter));
    if (!key)
        return 1;
    reg::Value value;
    if (registry_.QueryValue(key.get(), kMove, &value) != reg::kErrorSuccess)
        return 1;
    return value.AsDword().value_or(1);
}

std::uint32_t SettingsStore::ReadMove(std::wstring_view drive) {
    std::optional<int> index = IndexOf(drive);
    return index ? ReadMove(*index) : 1;
}

void SettingsStore::WriteMove(std::wstring_view drive, std::uint32_t value) {
    if (!IndexOf(drive))
        return;
    reg::Key key = CreateKey(DrivePath(drive[0]));
    if (key)
        registry_.SetValue(key.get(), kMove, reg::Value::Dword(value));
}

SettingsStore::ExclusionAdd SettingsStore::CheckExclusion(std::wstring_view upperPath) {
    if (upperPath.empty())
        return ExclusionAdd::Empty;
    if (upperPath.find(protocol::kExclusionSeparator) != std::wstring_view::npos)
        return ExclusionAdd::Separator;
    // Counted as the reply line counts: in UTF-16 code units.
    if (ToUtf16(upperPath).size() > protocol::kMaxExclusionLength)
        return ExclusionAdd::TooLong;
    return ExclusionAdd::Added;
}

namespace {

// The stored values that are in force: those within the bounds of one entry, in order.
std::vector<std::wstring> InForce(std::vector<std::wstring> stored) {
    std::erase_if(stored, [](const std::wstring& path) {
        return SettingsStore::CheckExclusion(path) != SettingsStore::ExclusionAdd::Added;
    });
    return stored;
}

}  // namespace

std::vector<std::wstring> SettingsStore::GetExclusions(std::wstring_view drive, const PathSink& sink) {
    if (!IndexOf(drive))
        return {};
    reg::Key key = CreateKey(DrivePath(drive[0]));
    if (!key)
        return {};
    std::vector<std::wstring> paths = InForce(ReadExclusions(key.get(), protocol::kMaxExclusions));
    if (sink) {
        for (const std::wstring& path : paths)
            sink(path);
    }
    return paths;
}

SettingsStore::ExclusionAdd SettingsStore::TryAddExclusion(std::wstring_view drive, std::wstring_view path,
                                                           const PathSink& sink) {
    if (!IndexOf(drive))
        return ExclusionAdd::NoDrive;
    std::wstring upper = UpperCase(path);
    if (const ExclusionAdd refused = CheckExclusion(upper); refused != ExclusionAdd::Added)
        return refused;
    reg::Key key = CreateKey(DrivePath(drive[0]));
    if (!key)
        return ExclusionAdd::Added;
    // The duplicate check and the count need no more than the values that can be in force.
    const std::vector<std::wstring> stored = ReadExclusions(key.get(), protocol::kMaxExclusions);
    if (std::find(stored.begin(), stored.end(), upper) != stored.end())
        return ExclusionAdd::Listed;
    if (stored.size() >= protocol::kMaxExclusions)
        return ExclusionAdd::ListFull;
    const std::uint32_t written =
        registry_.SetValue(key.get(), Number(stored.size()), reg::Value::String(upper));
    if (written == reg::kErrorSuccess && sink)
        sink(upper);
    return ExclusionAdd::Added;
}

bool SettingsStore::AddExclusion(std::wstring_view drive, std::wstring_view path, const PathSink& sink) {
    return TryAddExclusion(drive, path, sink) == ExclusionAdd::Added;
}

bool SettingsStore::RemoveExclusion(std::wstring_view drive, std::wstring_view path,
                                    std::vector<std::wstring>* remaining) {
    std::wstring upper = UpperCase(path);
    if (!IndexOf(drive))
        return false;
    reg::Key key = CreateKey(DrivePath(drive[0]));
    if (!key)
        return false;
    // Every stored value, so that one beyond the bounds (from a store written before them) can go too.
    std::vector<std::wstring> paths = ReadExclusions(key.get(), static_cast<std::size_t>(-1));
    std::size_t found = 0;
    while (found < paths.size() && paths[found] != upper)
        ++found;
    if (found == paths.size())
        return false;

    // Move every later value down by one number over the match, in one batch, then delete the last
    // one: two writes of a store that saves itself on every change, however long the list.
    std::vector<reg::Registry::NamedValue> shifted;
    for (std::size_t i = found + 1; i < paths.size(); ++i) {
        reg::Value value;
        if (registry_.QueryValue(key.get(), Number(i), &value) != reg::kErrorSuccess)
            return false;
        shifted.emplace_back(Number(i - 1), std::move(value));
    }
    if (!shifted.empty() && registry_.SetValues(key.get(), shifted) != reg::kErrorSuccess)
        return false;
    if (registry_.DeleteValue(key.get(), Number(paths.size() - 1)) != reg::kErrorSuccess && shifted.empty())
        return false;
    if (remaining != nullptr) {
        paths.erase(paths.begin() + static_cast<std::ptrdiff_t>(found));
        paths.resize(std::min(paths.size(), protocol::kMaxExclusions));
        *remaining = InForce(std::move(paths));
    }
    return true;
}

void SettingsStore::SaveQueue(std::wstring_view drive, const std::vector<std::wstring>& paths) {
    if (!IndexOf(drive))
        return;
    reg::Key key = CreateKey(QueuePath(drive[0]));
    if (!key)
        return;
    // One batch: a store that saves itself on every change writes the whole queue once, not once a path.
    std::vector<reg::Registry::NamedValue> values;
    values.reserve(paths.size());
    for (const std::wstring& path : paths) {
        if (path.empty() || !Fits(path, kQueueEntryBufferChars))
            continue;
        values.emplace_back(Number(values.size()), reg::Value::String(path));
    }
    if (!values.empty())
        registry_.SetValues(key.get(), values);
}

void SettingsStore::DropQueue(int driveIndex) {
    if (std::optional<wchar_t> letter = LetterOf(driveIndex))
        registry_.DeleteTree(root_, QueuePath(*letter));
}

std::size_t SettingsStore::RestoreQueue(int driveIndex, const PathSink& sink) {
    std::optional<wchar_t> letter = LetterOf(driveIndex);
    if (!letter)
        return 0;
    const std::wstring path = QueuePath(*letter);
    std::size_t handed = 0;
    {
        reg::Key key = OpenKey(path);
        if (!key)
            return 0;
        for (;; ++handed) {
            std::optional<std::wstring> file = ReadString(key.get(), handed, kQueueEntryBufferChars);
            if (!file || file->empty())
                break;
            if (sink)
                sink(*file);
        }
    }
    registry_.DeleteTree(root_, path);
    return handed;
}

}  // namespace kestrel::drives
