// The device under a mounted NTFS image: our own ntfs_device_operations over the image file (or block
// device), so that every write and flush of libntfs-3g passes through code we control.
//
// How to use it. Create an ImageDevice with a path and a WritePolicy, hand Device() to
// ntfs_device_mount (NtfsImageFileSystem::Mount does this when given MountOptions), and keep the
// ImageDevice alive until ntfs_umount has returned (ntfs_umount closes and frees the ntfs_device, the
// ImageDevice object stays ours). The policy says where the library's writes go:
//   - Through: to the image at once; a flush is fsync. What kestrel-image uses.
//   - UntilFlush: held in memory until the next flush, then written and fsynced, so that at every instant
//     the image file holds exactly what a power loss at that instant would leave. Tests use it together
//     with SetHook (which hears of every write and flush) and CutPower (drops what is not yet flushed and
//     lets nothing reach the file afterwards) to stop the world at a chosen write or flush.
//   - Overlay: never to the image. Writes are kept in memory and every read sees them, so the volume
//     behaves as if written while the file is opened read-only and left untouched: a dry run mounts with
//     this policy, works as usual and unmounts; OverlayBytes() tells how much memory it took.
// Independently of the policy the backend may capture writes (BeginCapture / EndCapture): they are kept
// aside, visible to reads, until it writes them itself in the order it chooses (see NtfsImageFileSystem's
// Move). The counters (Writes, Flushes, BytesWritten) count what reached the image file.
//
// Not thread-safe: the backend's lock serialises every use, as it does for the library.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

struct ntfs_device;

namespace kestrel::ntfsimage {

enum class WritePolicy { Through, UntilFlush, Overlay };

// One write or flush as the device performs it (Write before the bytes are taken, FlushBegin before held
// writes reach the file, FlushEnd after the fsync returned).
struct DeviceEvent {
    enum Kind { Write, FlushBegin, FlushEnd } kind = Write;
    std::uint64_t index = 0;  // counts every event, from 1
    std::int64_t offset = 0;  // of a write
    std::int64_t length = 0;
    bool captured = false;  // a write kept aside by a capture
};

// A piece of the device as a capture saw it: the bytes before the first captured write and after the last.
struct CapturedUnit {
    std::int64_t offset = 0;
    std::vector<std::uint8_t> before, after;
};

class ImageDevice {
  public:
    // The granularity of held and captured writes: the smallest sector, so that a unit never spans two
    // clusters (and therefore never two files or structures).
    static constexpr std::int64_t kUnit = 512;

    ImageDevice(std::string path, WritePolicy policy);
    ~ImageDevice();
    ImageDevice(const ImageDevice&) = delete;
    ImageDevice& operator=(const ImageDevice&) = delete;

    // The library's device; null when it could not be allocated. Freed by ntfs_umount, or by the caller
    // with ntfs_device_free when mounting failed.
    ntfs_device* Device() const { return device_; }
    // Hands the device a descriptor of the image that the caller opened (read-write) and locked
    // exclusively (flock), so that no other program can take the image between the caller's work on it
    // and the mount: the library's open then uses it instead of opening and locking the path again. The
    // device owns it from here (closed at unmount, or by the destructor when it was never used).
    void Adopt(int lockedFd) { adopted_ = lockedFd; }
    const std::string& Path() const { return path_; }
    WritePolicy Policy() const { return policy_; }
    // True when writes reach the image (Through or UntilFlush).
    bool WritesReachImage() const { return policy_ != WritePolicy::Overlay; }

    void SetHook(std::function<void(const DeviceEvent&)> hook) { hook_ = std::move(hook); }
    // Drops every write not yet flushed and fails every later write and flush with EIO, nothing of them
    // reaching the file: a power loss at this instant.
    void CutPower();
    bool PowerCut() const { return dead_; }

    // Writes between BeginCapture and EndCapture are kept aside (reads see them). EndCapture returns them,
    // in offset order, and forgets them: the caller writes them with Write and Flush.
    void BeginCapture();
    std::vector<CapturedUnit> EndCapture();
    bool Capturing() const { return capturing_; }

    // Reading and writing below the library (the same paths as its own requests; Write obeys the
    // capture and the policy). False on an error.
    bool Read(std::int64_t offset, void* buffer, std::int64_t length);
    bool Write(std::int64_t offset, const void* buffer, std::int64_t length);
    // Makes every write so far durable (for Overlay: nothing to do).
    bool Flush();

    std::uint64_t Writes() const { return writes_; }
    std::uint64_t Flushes() const { return flushes_; }
    std::uint64_t BytesWritten() const { return bytesWritten_; }
    std::size_t OverlayBytes() const { return held_.size() * kUnit; }

    // ---- The operations the library calls (through the static table). ----
    int Open(int flags);
    int Close();
    std::int64_t Seek(std::int64_t offset, int whence);
    std::int64_t PRead(void* buffer, std::int64_t count, std::int64_t offset);
    std::int64_t PWrite(const void* buffer, std::int64_t count, std::int64_t offset);
    int Sync();
    int Stat(struct stat* buffer);
    int Ioctl(unsigned long request, void* argp);
    std::int64_t position = 0;

  private:
    void Event(DeviceEvent::Kind kind, std::int64_t offset, std::int64_t length);
    // Copies bytes into a map of units, loading each unit's earlier content first.
    bool Hold(std::map<std::int64_t, std::vector<std::uint8_t>>& units, std::int64_t offset,
              const std::uint8_t* bytes, std::int64_t length,
              std::map<std::int64_t, std::vector<std::uint8_t>>* before);
    bool FileWrite(std::int64_t offset, const void* bytes, std::int64_t length);
    void Patch(const std::map<std::int64_t, std::vector<std::uint8_t>>& units, std::int64_t offset,
               std::uint8_t* buffer, std::int64_t length) const;

    std::string path_;
    WritePolicy policy_;
    ntfs_device* device_ = nullptr;
    int fd_ = -1;
    int adopted_ = -1;  // see Adopt
    std::int64_t size_ = 0;
    bool dead_ = false;
    bool capturing_ = false;
    std::map<std::int64_t, std::vector<std::uint8_t>> held_;      // by the policy (UntilFlush, Overlay)
    std::map<std::int64_t, std::vector<std::uint8_t>> captured_;  // by a capture
    std::map<std::int64_t, std::vector<std::uint8_t>> before_;    // each captured unit's earlier content
    std::function<void(const DeviceEvent&)> hook_;
    std::uint64_t events_ = 0, writes_ = 0, flushes_ = 0, bytesWritten_ = 0;
};

}  // namespace kestrel::ntfsimage
