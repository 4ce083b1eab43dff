// The defragmentation engine of one NTFS volume: the open volume, its NTFS data, the cached allocation
// bitmap with its free-run searches and run hints, and the mapping of files into extents.
//
// One engine is used by one thread; every thread that needs one builds its own. Requests go through a
// FileSystemControl (NtFsControlFile on Windows, simulated volumes on the host and in tests).
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/FileSystemControl.h"
#include "service/engine/ExtentMap.h"
#include "service/engine/FreeRunSearch.h"

namespace kestrel::engine {

// Bytes of one retrieval answer: a 16-byte header and room for 8,192 pairs.
inline constexpr std::uint32_t kRetrievalPairsPerAnswer = 8192;
inline constexpr std::uint32_t kRetrievalBufferSize = 16 + kRetrievalPairsPerAnswer * 16;  // 131,088
// The bitmap buffer's first guess without volume data, and its growth per overflow answer.
inline constexpr std::uint32_t kBitmapGrowth = 16402;
// Stand-ins when the volume data cannot be read.
inline constexpr std::int64_t kDefaultTotalClusters = 16402 * 8;  // 131,216
inline constexpr std::uint32_t kDefaultBytesPerCluster = 4096;
inline constexpr int kRunHintCount = 32;

// Engine results for a file (see ReportWin32Error and the movers).
inline constexpr std::int32_t kFileInUse = -1;
inline constexpr std::int32_t kFileUnusable = -2;
inline constexpr std::int32_t kMoveRefused = -3;

class DefragEngine {
  public:
    // Selects the volume of `path` (its first character is the drive letter). When a volume was
    // selected and the native control call cannot be bound, the process ends with exit code 1.
    DefragEngine(fs::FileSystemControl& fs, const std::wstring& path);
    explicit DefragEngine(const std::wstring& path);
    virtual ~DefragEngine();
    DefragEngine(const DefragEngine&) = delete;
    DefragEngine& operator=(const DefragEngine&) = delete;

    // ---- Volume access ----

    // Opens the volume of the path's drive letter, reads its NTFS data (11 attempts, 1 s apart, then
    // defaults), sizes and reads the bitmap. Returns the drive index (0 to 25); 0 for an empty path or one
    // that does not start with a letter (and for drive A, which callers treat as failure too). Nothing
    // happens when that letter is already selected and its volume open.
    std::int32_t SelectVolume(const std::wstring& path);
    // Opens "\\.\X:" for the drive index unless it is already open; the Win32 error, 0 on success.
    std::uint32_t OpenVolume(std::int32_t driveIndex);
    // Reads FSCTL_GET_NTFS_VOLUME_DATA into the volume data; true only on STATUS_SUCCESS.
    bool GetNtfsVolumeData(std::int32_t driveIndex);
    // Opens a file (or directory) for mapping and moving, with the "\\?\" prefix. On failure the error
    // goes to ReportWin32Error and, when asked, to `error`; the handle is then invalid.
    fs::FsHandle OpenFileForMapping(const std::wstring& path, std::uint32_t* error = nullptr);
    // Names a status in one trace line.
    void ReportStatus(fs::NtStatus status);
    // Classifies a failed open: -1 (kFileInUse) for a sharing violation, -2 (kFileUnusable) otherwise;
    // codes other than not found, path not found, access denied and name too long are traced with their
    // system text.
    std::int32_t ReportWin32Error(std::uint32_t error);
    // The classification of ReportWin32Error, without a trace line.
    static std::int32_t ClassifyWin32Error(std::uint32_t error);

    // ---- Volume bitmap and free-space search ----

    // Re-reads the bitmap when it is marked stale, growing the buffer as the answer requires, and marks
    // the MFT zone in use. A request that fails before anything was written leaves the copy as it was
    // (and the stale flag cleared). One that fails after an answer was written into the copy or the
    // buffer was replaced by a larger one leaves the copy empty of free space and marked stale: nothing
    // is placed on a half-read copy, and the next search asks again.
    void RefreshBitmap();
    void MarkBitmapStale() { bitmapStale_ = true; }
    bool BitmapStale() const { return bitmapStale_; }
    // The engine's own view of its bitmap copy; valid until the next RefreshBitmap.
    const VolumeBitmap& Bitmap() const { return bitmap_; }
    // First-fit free run after `start` (see engine::FindFreeRun). Refreshes the bitmap first. An end of 0
    // means the whole volume; a null bitmap means the engine's own view, which offers nothing while the
    // engine holds no bitmap buffer.
    std::int64_t FindFreeRun(std::int64_t start, std::uint64_t minimum, std::int64_t& length,
                             std::int64_t end = 0, const VolumeBitmap* bitmap = nullptr);
    // The longest free run (lowest LCN among equals) longer than `length`; traces "in FindBiggestFreeSpace".
    std::int64_t FindBiggestFreeSpace(std::int64_t& length, const VolumeBitmap* bitmap = nullptr);
    // Polls the cluster up to 60 times, 100 ms apart, re-reading the bitmap each time; true once it is
    // free. A negative LCN is never free.
    bool IsClusterFree(std::int64_t lcn);
    // Run hint j: where the first free run of at least 2^j clusters began at the last rebuild; 0 = none.
    const std::array<std::int64_t, kRunHintCount>& RunHints() const { return runHints_; }

    // ---- File extent maps ----

    // The whole map of a file, labelled "GetFileFragmentsInfo"; empty when the file cannot be opened or
    // owns no clusters. Throws BadFileStats when a pending request fails or an answer is implausible
    // (see AppendRetrievalPointers).
    ExtentList GetFileFragmentsInfo(const std::wstring& path);
    // Selects the file's volume and counts its fragments; -1 / -2 as ReportWin32Error, -2 when no volume.
    std::int32_t GetFileFragments(const std::wstring& path);
    // Counts the fragments of an open file; -2 when a pending request fails or an answer is implausible.
    std::int32_t GetFileFragments(fs::RawHandle file);

    // ---- State for the movers ----

    fs::FileSystemControl& FileSystem() { return fs_; }
    fs::RawHandle VolumeHandle() const { return volume_.get(); }
    const fs::NTFS_VOLUME_DATA_BUFFER& VolumeData() const { return volumeData_; }
    std::int64_t TotalClusters() const { return volumeData_.TotalClusters; }
    std::uint32_t BytesPerCluster() const { return volumeData_.BytesPerCluster; }
    bool NoVolumeData() const { return noVolumeData_; }
    const std::wstring& CurrentRoot() const { return currentRoot_; }
    wchar_t CurrentDriveLetter() const { return currentDriveLetter_; }
    std::int32_t CurrentDriveIndex() const { return currentDriveIndex_; }
    // Size in bytes the bitmap request is given (plus its 16-byte header), as last sized.
    std::uint32_t BitmapSizeValue() const { return bitmapSizeValue_; }
    // Issues one control request and, when it answers STATUS_PENDING, waits on `waitOn` for up to
    // `timeoutMs` (nominal; kInfinite without limit) and returns the final status from `io`. A wait that
    // does not end returns STATUS_PENDING. `pended`, when given, tells whether the request was pending.
    // Every request of the engine goes through here. The handles come from the file-system control,
    // which opens them for synchronous I/O: a request has ended when the call returns, so nothing
    // writes into `io` or the buffers after this returns, even when the wait did not end.
    fs::NtStatus Control(fs::RawHandle handle, fs::IO_STATUS_BLOCK& io, std::uint32_t code, const void* in,
                         std::uint32_t inLength, void* out, std::uint32_t outLength, fs::RawHandle waitOn,
                         std::uint32_t timeoutMs, bool* pended = nullptr);

  private:
    friend void RebuildRunHints(DefragEngine& engine, bool force);

    // Last: the answer holds the rest of the file; More: ask again; Stop: nothing to process; Failed: a
    // pending request ended in failure.
    enum class Answer { Last, More, Stop, Failed };
    // One retrieval request from `vcn` into the retrieval buffer; `bytes` receives the answer's length.
    Answer RequestRetrieval(fs::RawHandle file, std::int64_t vcn, std::size_t& bytes, fs::NtStatus& status);
    void SizeBitmapBuffer();
    // Replaces the bitmap buffer by one for `sizeValue`, all of whose clusters show in use until an
    // answer is read into it.
    void AllocateBitmap(std::uint64_t sizeValue);
    void UpdateBitmapView();
    void MarkMftZone();
    // The size value for the request after an overflow answer (see BitmapCopy.cpp); 0 when the bitmap
    // would be larger than any volume's.
    std::uint64_t GrownBitmapSize(const fs::IO_STATUS_BLOCK& io, int& sizeChanges);
    // Ends a refresh whose request failed (see RefreshBitmap).
    void FailRefresh(bool copyTouched);
    // The first LCN the engine's copy does not cover.
    std::int64_t CopyEnd() const;
    // Brings the free-run index in step with the copy when the copy may have changed since.
    void SyncIndex();

    fs::FileSystemControl& fs_;
    bool bitmapStale_ = true;
    fs::NTFS_VOLUME_DATA_BUFFER volumeData_{};
    std::array<std::int64_t, kRunHintCount> runHints_{};
    wchar_t currentDriveLetter_ = 0;
    std::wstring currentRoot_ = L".";
    std::int32_t currentDriveIndex_ = 0;
    bool noVolumeData_ = false;
    fs::FsHandle volume_;
    std::unique_ptr<std::uint64_t[]> retrieval_;  // kRetrievalBufferSize bytes, 8-byte aligned
    std::unique_ptr<std::uint64_t[]> bitmapBuffer_;
    std::uint64_t bitmapCapacity_ = 0;  // bytes allocated
    std::uint32_t bitmapSizeValue_ = 0;
    VolumeBitmap bitmap_;
    // The searches on the engine's own copy are answered from this index, which follows the copy: each
    // refresh reads the whole bitmap again, and the index then summarises only what changed.
    FreeRunIndex index_;
    bool indexSynced_ = false;
};

// Rebuilds the engine's run hints when the process-wide rebuild counter is a multiple of 50 (at once
// when forced, which resets the counter), then advances the counter.
void RebuildRunHints(DefragEngine& engine, bool force);
// The process-wide rebuild counter.
std::int32_t RunHintRebuildCounter();
// The run-hint slot where a search for `clusters` clusters starts: floor(log2 clusters), lowered while
// that slot is empty.
int HintIndex(const DefragEngine& engine, std::uint64_t clusters);

// Names the file, maps it afresh and fills the rest of `info`; false when the file has no clusters (or
// could not be mapped).
bool RefreshFileInfo(DefragEngine& engine, const std::wstring& path, FileInfo& info);

}  // namespace kestrel::engine
