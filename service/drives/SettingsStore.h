// The service's persistent settings: which drives are watched, each drive's "Move" option and excluded
// paths, the queues saved at shutdown and the lifetime count of fragments saved, all kept in the
// registry below the service's parameters key:
//
//   <parameters>                 "LifeTime"        REG_DWORD  lifetime fragments saved (0 when absent)
//   <parameters>\WatchingDrives  "1" ... "26"      REG_DWORD  per drive index: 0 = not watched
//                                                             (absent or any other value = watched)
//   <parameters>\<letter>        "Move"            REG_DWORD  0 = only defragment (absent = 1)
//                                "0", "1", ...     REG_SZ     excluded paths, upper case, no gaps
//   <parameters>\FilesFor <letter>  "0", "1", ...  REG_SZ     files still queued at the last save
//
// Every operation opens (or creates) the keys it needs with kSettingsAccess and closes them before it
// returns; the store keeps no state besides the registry, root and path it was given, and takes no
// lock: callers (the drive set) serialise writes.
//
// Failures are silent by design. A key that cannot be opened or created leaves the operation without
// effect, and readers answer the defaults (drive watched, "Move" 1, lifetime 0). The registry decides
// whether a damaged store may be written; the host store refuses every operation then, so defaults are
// never written over settings that could not be read.
//
// Drives are given as a string whose first character is the drive letter ("C:\" or "C") or as a drive
// index (A = 1 ... Z = 26). Only the upper-case letters A to Z and the indexes 1 to 26 address a drive;
// anything else (lower case, digits, an empty string, index 0 or 27) is refused: the operation does
// nothing and answers the default, so text from outside can never name another key or value.
//
// The store does not know the drive's watcher. Where a path has to reach the watcher (exclusions to
// `AddExcludeName`, a restored queue to `AddFileToDefragList`), the operation hands it to a PathSink
// that the caller supplies, or returns the list in order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace kestrel::drives {

// The service's parameters key below HKEY_LOCAL_MACHINE.
inline constexpr std::wstring_view kParametersPath =
    L"SYSTEM\\CurrentControlSet\\Services\\Kestrel_Defragmentation\\Parameters";

// KEY_READ | KEY_SET_VALUE | KEY_CREATE_SUB_KEY: every key of the store is opened with exactly this.
inline constexpr std::uint32_t kSettingsAccess = reg::kKeyRead | reg::kKeySetValue | reg::kKeyCreateSubKey;
static_assert(kSettingsAccess == 0x2001F);

// Reading buffers, in wide characters including the terminating NUL. A longer stored string counts as
// absent.
inline constexpr std::size_t kExclusionBufferChars = 65536;
inline constexpr std::size_t kQueueEntryBufferChars = 2048;

// Receives paths meant for the drive's watcher, one call per path, in order.
using PathSink = std::function<void(const std::wstring& path)>;

class SettingsStore {
  public:
    // `registry` must outlive the store. The service uses SystemRegistry(), kLocalMachine and
    // kParametersPath.
    explicit SettingsStore(reg::Registry& registry, reg::RawKey root = reg::kLocalMachine,
                           std::wstring parametersPath = std::wstring(kParametersPath));

    reg::Registry& registry() const { return registry_; }
    reg::RawKey root() const { return root_; }
    const std::wstring& parametersPath() const { return parametersPath_; }

    // The drive index of a drive string (first character 'A'..'Z'), or nothing for anything else.
    static std::optional<int> IndexOf(std::wstring_view drive);
    // The letter of a drive index 1..26, or nothing.
    static std::optional<wchar_t> LetterOf(int driveIndex);

    // Creates the parameters key and its "WatchingDrives" subkey when they are missing. True when both
    // exist afterwards.
    bool CreateKeys();

    // "LifeTime". When it is absent or not a well-formed REG_DWORD it is (re)written as REG_DWORD 0 and
    // 0 is returned; when the parameters key cannot be opened or created, or the value cannot be read
    // for another reason, 0 is returned and nothing is written.
    std::int32_t LoadLifeTime();
    // Writes `total` as "LifeTime". Nothing is written when the parameters key does not exist or
    // cannot be opened.
    void SaveLifeTime(std::int32_t total);

    // The drive's "WatchingDrives" value: false only for a stored REG_DWORD 0 (absent, unreadable or
    // a refused drive counts as watched).
    bool IsWatching(std::wstring_view drive);
    bool IsWatching(int driveIndex);
    // Writes 1 / 0 to the drive's "WatchingDrives" value. The drive set removes the watcher itself.
    // True when the value was written; false for a refused drive or a store that cannot be written.
    bool SetWatching(std::wstring_view drive);
    bool StopWatching(std::wstring_view drive);

    // The drive's "Move" value; 1 when it is absent, not a REG_DWORD, the key cannot be created or the
    // drive is refused.
    std::uint32_t ReadMove(std::wstring_view drive);
    std::uint32_t ReadMove(int driveIndex);
    void WriteMove(std::wstring_view drive, std::uint32_t value);

    // The drive's exclusions in force: of the values "0", "1", ... up to the first absent or malformed
    // one, only the first kMaxExclusions are read, and of those only the ones that AddExclusion would
    // accept (not empty, at most kMaxExclusionLength code units, no ";"). A store written before these
    // bounds may hold more or longer values: they stay stored as they are, but are neither listed nor
    // applied (an over-long one still takes its place among the first kMaxExclusions), so that the list
    // always fits the one code-24 reply line and every entry shown can be removed. Each entry is also
    // handed to `sink`, in order, when one is given (the drive set passes the watcher's AddExcludeName).
    std::vector<std::wstring> GetExclusions(std::wstring_view drive, const PathSink& sink = {});

    // What TryAddExclusion did with a path.
    enum class ExclusionAdd {
        Added,      // stored as the next value and handed to the sink (nothing stored when the drive key
                    // cannot be created)
        Listed,     // the upper-cased path is already listed: nothing changes
        NoDrive,    // the drive string names no drive
        Empty,      // an empty exclusion would exclude every path of the drive
        TooLong,    // more than kMaxExclusionLength UTF-16 code units
        Separator,  // holds ";", which separates the entries of the code-24 line
        ListFull,   // the drive already has kMaxExclusions stored values
    };
    // Stores the upper-cased path as the next exclusion and hands it to `sink` once it is stored. Every
    // outcome but Added leaves the store as it was. Reads at most kMaxExclusions values.
    ExclusionAdd TryAddExclusion(std::wstring_view drive, std::wstring_view path, const PathSink& sink = {});
    // TryAddExclusion, true for Added.
    bool AddExclusion(std::wstring_view drive, std::wstring_view path, const PathSink& sink = {});
    // Whether an (upper-cased) exclusion is within the bounds of one entry: Added when it is, else the
    // reason (Empty, TooLong or Separator).
    static ExclusionAdd CheckExclusion(std::wstring_view upperPath);

    // Removes the upper-cased path from the exclusions and numbers the ones after it down by one, so
    // the list has no gaps. True when it was listed (among all stored values, also those beyond the
    // bounds) and removed. The store cannot reach the drive's running watcher: on true, `remaining`
    // (when given) receives the exclusions now in force, as GetExclusions answers them, so that the
    // caller can replace the watcher's list with them.
    bool RemoveExclusion(std::wstring_view drive, std::wstring_view path,
                         std::vector<std::wstring>* remaining = nullptr);

    // Writes the paths as "0", "1", ... of the drive's "FilesFor " key, creating it. Values with higher
    // numbers from an earlier save stay. Paths that could not be restored (empty, or too long for the
    // reading buffer) are left out, so that they do not end the restore early for the ones after them.
    // The values go to the registry as one batch (Registry::SetValues), so the host's store writes the
    // file once for the whole queue.
    void SaveQueue(std::wstring_view drive, const std::vector<std::wstring>& paths);

    // Deletes the drive's saved queue, if any.
    void DropQueue(int driveIndex);

    // Hands every path of the drive's saved queue to `sink` in value-number order, up to the first
    // absent, malformed or empty value, and then deletes the "FilesFor " key with all its subkeys. When
    // the key does not exist nothing happens. Returns the number of paths handed over.
    std::size_t RestoreQueue(int driveIndex, const PathSink& sink);

    // The key paths below the root, for the drive set and for tests.
    std::wstring WatchingDrivesPath() const;
    std::wstring DrivePath(wchar_t letter) const;
    std::wstring QueuePath(wchar_t letter) const;

  private:
    reg::Key CreateKey(const std::wstring& path);
    reg::Key OpenKey(const std::wstring& path);
    std::optional<std::wstring> ReadString(reg::RawKey key, std::size_t number, std::size_t bufferChars);
    // The stored exclusion values from "0" up to the first absent or malformed one, at most `limit`.
    std::vector<std::wstring> ReadExclusions(reg::RawKey key, std::size_t limit);
    bool WriteWatching(std::wstring_view drive, std::uint32_t value);

    reg::Registry& registry_;
    reg::RawKey root_;
    std::wstring parametersPath_;
};

}  // namespace kestrel::drives
