// File-system control over real NTFS images (or unmounted block devices) through libntfs-3g.
//
// An image is mounted under a drive letter, as the simulated volumes are: "\\.\C:" opens the volume of
// C, "\\?\C:\DIR\FILE" a file on it and "\\?\C:\DIR\FILE:NAME" the named data stream NAME of that file.
// The four volume requests are answered from the image's own structures with the records and status
// codes of the Windows requests (see NtfsImageFileSystem.cpp for the exact rules), and a move really
// moves the data and rewrites the file's runlist and the volume's cluster bitmap.
//
// libntfs-3g is licensed GPL-2.0-or-later: this library is built on the host only and is never linked
// into the Windows programs.
//
// Thread-safe: one lock serialises every call, since the library itself is not.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/FileSystemControl.h"
#include "platform/ntfsimage/ImageDevice.h"

namespace kestrel::ntfsimage {

// The runs of a file's data as the image stores them (LCN -1 for a hole).
struct ImageRun {
    std::int64_t vcn = 0;
    std::int64_t lcn = 0;
    std::int64_t length = 0;
    bool operator==(const ImageRun&) const = default;
};

// One file or named stream found by a walk of the volume: `path` opens it whatever its names hold (the
// record form, see RecordPath), `display` names it for people.
struct ImageFile {
    std::wstring path;
    std::wstring display;
    std::uint64_t record = 0;
};

// The figures of a volume and of its free space, from $Bitmap.
struct VolumeFigures {
    std::int64_t clusterBytes = 0;
    std::int64_t totalClusters = 0;
    std::int64_t freeClusters = 0;
    std::int64_t largestFreeRun = 0;
    std::int64_t freeRuns = 0;
};

// Why an image cannot be worked on, or an empty string: it is in /proc/mounts (directly or through
// the loop device that backs it) or libntfs-3g reports it mounted.
std::string MountedReason(const std::string& image);

// Why an image cannot hold its volume, or an empty string: the file or block device is shorter than the
// volume's `volumeBytes` (a truncated copy, or a partition smaller than the file system on it). Writing
// to such an image would put clusters past its end.
std::string ImageSizeReason(const std::string& image, std::int64_t volumeBytes);

// Why libntfs-3g refused to open the image, in words a user can act on, from the errno it left:
// a hibernated Windows or an unclean $LogFile (Fast Startup) is named as such with what to do.
std::string MountFailureReason(const std::string& image, int error);

// What a user must be told about an image whose run of kestrel-image was interrupted (a record of it is
// in the state directory, `stateDirectory` or the host's): that what a read-only look shows may hold a
// move half done, and that running kestrel-image defrag again repairs it. Empty when there is no record.
std::string InterruptedRunNotice(const std::string& image, const std::string& stateDirectory = {});

struct Image;

// How an image is opened.
struct MountOptions {
    // Moves fail with STATUS_ACCESS_DENIED; nothing is written.
    bool readOnly = false;
    // Where the library's writes go (see ImageDevice.h): Overlay for a dry run that leaves the image
    // untouched, UntilFlush for tests that cut the power.
    WritePolicy policy = WritePolicy::Through;
    // Hears of every write and flush of the device (tests).
    std::function<void(const DeviceEvent&)> deviceHook;
    // Where the records of runs and moves in progress are kept; empty: the host's state directory
    // ($KESTREL_STATE_DIR, else $XDG_STATE_HOME/kestrel, else ~/.local/state/kestrel).
    std::string stateDirectory;
    // Tests: record files larger than this many bytes cannot be written, as on a full disk (0: no limit).
    std::size_t recordSpace = 0;
    // A move that changes a file's base record with its extent records or attribute list puts their new
    // contents into free records and clusters, so that one write of the base record switches the file
    // (see the move in NtfsImageFileSystem.cpp). Tests turn it off to reach the repair of what a cut
    // between several record writes leaves.
    bool oneWriteSwitch = true;
};

class NtfsImageFileSystem : public fs::FileSystemControl {
  public:
    NtfsImageFileSystem();
    ~NtfsImageFileSystem() override;  // unmounts every image, writing everything back
    NtfsImageFileSystem(const NtfsImageFileSystem&) = delete;
    NtfsImageFileSystem& operator=(const NtfsImageFileSystem&) = delete;

    // Opens the image under a drive letter ('A' to 'Z'), read-write unless `readOnly` (moves then fail
    // with STATUS_ACCESS_DENIED). Returns an empty string on success, else why it failed (not NTFS,
    // letter taken ...). The image is refused when it is mounted (see MountedReason).
    std::string Mount(wchar_t letter, const std::string& image, bool readOnly = false);
    std::string Mount(wchar_t letter, const std::string& image, const MountOptions& options);
    // What the mount found and did about an interrupted earlier run, and what stopped moves early (one
    // line each), for the user.
    std::vector<std::string> Notices(wchar_t letter);
    // Why moves were stopped before the work was done (a move could not be recorded), or empty.
    std::string StopReason(wchar_t letter);
    // The device under a mounted image (its counters, CutPower for tests); null when none is mounted.
    ImageDevice* Device(wchar_t letter);
    // Writes everything back and closes the image; handles on it go stale. False when the library
    // reported an error while closing.
    bool Unmount(wchar_t letter);

    fs::OpenResult OpenVolume(const std::wstring& devicePath) override;
    fs::OpenResult OpenFile(const std::wstring& path) override;
    void Close(fs::RawHandle handle) noexcept override;
    bool Bind() override { return true; }
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength) override;
    // Requests never pend here: nothing is outstanding, the handle is signalled.
    bool Wait(fs::RawHandle handle, std::uint32_t timeoutMs) override;
    // The data size of the file's unnamed stream ("\\?\C:\..." or "C:\..."), nothing when absent.
    std::optional<std::uint64_t> FindFileSize(const std::wstring& path) override;

    // Asks the work to stop: async-signal-safe (one atomic store), so a signal handler or a timer may
    // call it. A move under way completes (or is rolled back) and is made durable as usual; every move
    // requested afterwards is refused with STATUS_ACCESS_DENIED, which makes the engine give the file up
    // with its layout as the last completed move left it. Reading requests keep being answered.
    void RequestStop() noexcept { stop_.store(true, std::memory_order_relaxed); }
    bool StopRequested() const noexcept { return stop_.load(std::memory_order_relaxed); }

    // ---- Inspection for tools and tests (paths volume-relative, "\DIR\FILE[:STREAM]"). ----
    //
    // Besides names, a path may name a file by its MFT record: "\/N" is the unnamed data of record N,
    // "\/N:NAME" its named stream NAME (taken whole, whatever it holds). No NTFS name holds '/', so the
    // form never collides with a name; it reaches files whose names hold ':' or '\'. Names are matched
    // exactly first, and only then without regard to case, so that names differing only in case (the
    // POSIX namespace) each reach their own file.

    static std::wstring RecordPath(std::uint64_t record, const std::wstring& stream = {});
    // The regular files of the volume with their named streams, each file once (hard links too), walked
    // by MFT record so that no name can hide one; system files left out. With `folder` (a path), the
    // files below that folder, walked through its index recursively.
    std::vector<ImageFile> Files(wchar_t letter, const std::wstring& folder = {});
    enum class PathKind { Missing, File, Directory, System };
    // What a path names: a system file ($MFT, $Bitmap, the files in $Extend ...) is never moved.
    PathKind KindOf(wchar_t letter, const std::wstring& path);
    // True when the image was opened read-only (asked for, or the library could not write it).
    bool ReadOnly(wchar_t letter);
    VolumeFigures Figures(wchar_t letter);

    // The regular files of the volume below the root, without the system files, in directory order.
    std::vector<std::wstring> RegularFiles(wchar_t letter);
    // The runs of the file's data; empty for a resident, empty or absent stream.
    std::vector<ImageRun> Runs(wchar_t letter, const std::wstring& path);
    // Physically separate pieces of the file's data (holes do not count); 0 when it has no clusters.
    int Fragments(wchar_t letter, const std::wstring& path);
    // Named data streams of the file (without the unnamed one).
    std::vector<std::wstring> Streams(wchar_t letter, const std::wstring& path);
    // True when the file's data is compressed / sparse / listed in an attribute list.
    struct Kind {
        bool compressed = false;
        bool sparse = false;
        bool resident = false;
        bool attributeList = false;
    };
    std::optional<Kind> FileKind(wchar_t letter, const std::wstring& path);
    // What the moves on a mounted image wrote: moves made, MFT records they took into use and released.
    struct MoveCounters {
        std::uint64_t moves = 0, recordsTaken = 0, recordsReleased = 0;
        std::uint64_t oneWriteSwitches = 0;  // moves whose file switched in one write of its base record
    };
    MoveCounters Counters(wchar_t letter);
    // True when the volume's dirty flag is set (while a run has it mounted for writing, the run's own mark).
    bool VolumeDirty(wchar_t letter);
    // Free clusters, counted in the cluster bitmap.
    std::int64_t FreeClusters(wchar_t letter);
    // Handles currently open (leak checks in tests).
    std::size_t OpenHandles() const;

  private:
    struct State;
    bool Release(Image& image);
    mutable std::mutex mutex_;
    std::unique_ptr<State> state_;
    std::atomic<bool> stop_{false};
    static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop must be async-signal-safe");
};

}  // namespace kestrel::ntfsimage
