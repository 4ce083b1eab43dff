// The device under a mounted NTFS image: writes through, held until a flush, or kept in memory.
#include "platform/ntfsimage/ImageDevice.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/ntfsimage/FullIo.h"
#include "platform/ntfsimage/NtfsLib.h"

namespace kestrel::ntfsimage {

namespace {

ImageDevice* Self(ntfs_device* dev) {
    return static_cast<ImageDevice*>(dev->d_private);
}

int OpOpen(ntfs_device* dev, int flags) {
    return Self(dev)->Open(flags);
}
int OpClose(ntfs_device* dev) {
    return Self(dev)->Close();
}
s64 OpSeek(ntfs_device* dev, s64 offset, int whence) {
    return Self(dev)->Seek(offset, whence);
}
s64 OpRead(ntfs_device* dev, void* buffer, s64 count) {
    ImageDevice* self = Self(dev);
    const s64 n = self->PRead(buffer, count, self->position);
    if (n > 0)
        self->position += n;
    return n;
}
s64 OpWrite(ntfs_device* dev, const void* buffer, s64 count) {
    ImageDevice* self = Self(dev);
    const s64 n = self->PWrite(buffer, count, self->position);
    if (n > 0)
        self->position += n;
    return n;
}
s64 OpPRead(ntfs_device* dev, void* buffer, s64 count, s64 offset) {
    return Self(dev)->PRead(buffer, count, offset);
}
s64 OpPWrite(ntfs_device* dev, const void* buffer, s64 count, s64 offset) {
    return Self(dev)->PWrite(buffer, count, offset);
}
int OpSync(ntfs_device* dev) {
    return Self(dev)->Sync();
}
int OpStat(ntfs_device* dev, struct stat* buffer) {
    return Self(dev)->Stat(buffer);
}
int OpIoctl(ntfs_device* dev, unsigned long request, void* argp) {
    return Self(dev)->Ioctl(request, argp);
}

ntfs_device_operations kOperations = {OpOpen,  OpClose,  OpSeek, OpRead, OpWrite,
                                      OpPRead, OpPWrite, OpSync, OpStat, OpIoctl};

using Units = std::map<std::int64_t, std::vector<std::uint8_t>>;

}  // namespace

ImageDevice::ImageDevice(std::string path, WritePolicy policy) : path_(std::move(path)), policy_(policy) {
    device_ = ntfs_device_alloc(path_.c_str(), 0, &kOperations, this);
}

ImageDevice::~ImageDevice() {
    // The library frees the device at unmount; a device it never mounted is closed and freed here.
    if (fd_ >= 0)
        ::close(fd_);
    if (adopted_ >= 0)
        ::close(adopted_);
}

void ImageDevice::Event(DeviceEvent::Kind kind, std::int64_t offset, std::int64_t length) {
    ++events_;
    if (hook_)
        hook_(DeviceEvent{kind, events_, offset, length, capturing_ && kind == DeviceEvent::Write});
}

void ImageDevice::CutPower() {
    held_.clear();
    captured_.clear();
    before_.clear();
    dead_ = true;
}

int ImageDevice::Open(int flags) {
    if (fd_ >= 0) {
        errno = EBUSY;
        return -1;
    }
    // An overlay never writes the file: it is opened for reading, whatever the library asks for.
    const bool readOnly = (flags & O_ACCMODE) == O_RDONLY || policy_ == WritePolicy::Overlay;
    if (adopted_ >= 0) {
        // Opened read-write and locked exclusively by the caller, who has kept it locked since.
        fd_ = adopted_;
        adopted_ = -1;
    } else {
        fd_ = ::open(path_.c_str(), (readOnly ? O_RDONLY : O_RDWR) | (flags & O_EXCL) | O_CLOEXEC);
        if (fd_ < 0)
            return -1;
    }
    // One writer at a time; readers (and overlays) only while nobody writes. (Taking the lock again on
    // an adopted descriptor changes nothing: it is the same open file.)
    if (flock(fd_, (readOnly ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        ::close(fd_);
        fd_ = -1;
        errno = error;
        return -1;
    }
    struct stat info {};
    if (fstat(fd_, &info) != 0) {
        ::close(fd_);
        fd_ = -1;
        return -1;
    }
    size_ = info.st_size;
    if (S_ISBLK(info.st_mode)) {
        NDevSetBlock(device_);
        std::uint64_t bytes = 0;
        if (ioctl(fd_, BLKGETSIZE64, &bytes) == 0)
            size_ = static_cast<std::int64_t>(bytes);
    }
    if ((flags & O_ACCMODE) == O_RDONLY)
        NDevSetReadOnly(device_);
    NDevSetOpen(device_);
    position = 0;
    return 0;
}

int ImageDevice::Close() {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    int result = 0;
    if (!NDevReadOnly(device_) && Sync() != 0)
        result = -1;
    ::close(fd_);
    fd_ = -1;
    NDevClearOpen(device_);
    return result;
}

std::int64_t ImageDevice::Seek(std::int64_t offset, int whence) {
    std::int64_t to = offset;
    if (whence == SEEK_CUR)
        to = position + offset;
    else if (whence == SEEK_END)
        to = size_ + offset;
    if (to < 0) {
        errno = EINVAL;
        return -1;
    }
    position = to;
    return to;
}

void ImageDevice::Patch(const Units& units, std::int64_t offset, std::uint8_t* buffer,
                        std::int64_t length) const {
    for (auto it = units.lower_bound(offset / kUnit * kUnit);
         it != units.end() && it->first < offset + length; ++it) {
        const std::int64_t from = std::max(offset, it->first);
        const std::int64_t to = std::min(offset + length, it->first + kUnit);
        std::memcpy(buffer + (from - offset), it->second.data() + (from - it->first),
                    static_cast<std::size_t>(to - from));
    }
}

std::int64_t ImageDevice::PRead(void* buffer, std::int64_t count, std::int64_t offset) {
    if (fd_ < 0 || count < 0 || offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (offset >= size_)
        return 0;
    count = std::min(count, size_ - offset);
    auto* bytes = static_cast<std::uint8_t*>(buffer);
    for (std::int64_t done = 0; done < count;) {
        const ssize_t n = ::pread(fd_, bytes + done, static_cast<std::size_t>(count - done), offset + done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0) {
            std::memset(bytes + done, 0, static_cast<std::size_t>(count - done));
            break;
        }
        done += n;
    }
    // What is held by the policy, and over it what a capture holds, is newer than the file.
    Patch(held_, offset, bytes, count);
    Patch(captured_, offset, bytes, count);
    return count;
}

bool ImageDevice::Hold(Units& units, std::int64_t offset, const std::uint8_t* bytes, std::int64_t length,
                       Units* before) {
    for (std::int64_t unit = offset / kUnit * kUnit; unit < offset + length; unit += kUnit) {
        auto it = units.find(unit);
        if (it == units.end()) {
            std::vector<std::uint8_t> earlier(kUnit);
            if (PRead(earlier.data(), kUnit, unit) < 0)
                return false;
            if (before != nullptr)
                (*before)[unit] = earlier;
            it = units.emplace(unit, std::move(earlier)).first;
        }
        const std::int64_t from = std::max(offset, unit), to = std::min(offset + length, unit + kUnit);
        std::memcpy(it->second.data() + (from - unit), bytes + (from - offset),
                    static_cast<std::size_t>(to - from));
    }
    return true;
}

bool ImageDevice::FileWrite(std::int64_t offset, const void* bytes, std::int64_t length) {
    if (!FullWrite(fd_, offset, bytes, static_cast<std::size_t>(length)))
        return false;
    ++writes_;
    bytesWritten_ += static_cast<std::uint64_t>(length);
    return true;
}

std::int64_t ImageDevice::PWrite(const void* buffer, std::int64_t count, std::int64_t offset) {
    if (fd_ < 0 || count < 0 || offset < 0) {
        errno = EINVAL;
        return -1;
    }
    if (NDevReadOnly(device_)) {
        errno = EROFS;
        return -1;
    }
    if (offset >= size_ || count > size_ - offset) {
        errno = ENOSPC;  // past the end of the volume's device
        return -1;
    }
    Event(DeviceEvent::Write, offset, count);
    if (dead_) {
        errno = EIO;
        return -1;
    }
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    bool ok;
    if (capturing_)
        ok = Hold(captured_, offset, bytes, count, &before_);
    else if (policy_ == WritePolicy::Through)
        ok = FileWrite(offset, bytes, count);
    else
        ok = Hold(held_, offset, bytes, count, nullptr);
    if (!ok) {
        if (errno == 0)
            errno = EIO;
        return -1;
    }
    NDevSetDirty(device_);
    return count;
}

int ImageDevice::Sync() {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    Event(DeviceEvent::FlushBegin, 0, 0);
    if (dead_) {
        errno = EIO;
        return -1;
    }
    if (policy_ == WritePolicy::UntilFlush) {
        for (const auto& [offset, bytes] : held_)
            if (!FileWrite(offset, bytes.data(), std::min<std::int64_t>(kUnit, size_ - offset)))
                return -1;
        held_.clear();
    }
    if (policy_ != WritePolicy::Overlay) {
        if (fsync(fd_) != 0)
            return -1;
        ++flushes_;
    }
    NDevClearDirty(device_);
    Event(DeviceEvent::FlushEnd, 0, 0);
    return 0;
}

int ImageDevice::Stat(struct stat* buffer) {
    return fd_ < 0 ? -1 : fstat(fd_, buffer);
}

int ImageDevice::Ioctl(unsigned long request, void* argp) {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    return ioctl(fd_, request, argp);
}

void ImageDevice::BeginCapture() {
    capturing_ = true;
    captured_.clear();
    before_.clear();
}

std::vector<CapturedUnit> ImageDevice::EndCapture() {
    std::vector<CapturedUnit> out;
    out.reserve(captured_.size());
    for (auto& [offset, bytes] : captured_) {
        CapturedUnit unit;
        unit.offset = offset;
        unit.after = std::move(bytes);
        unit.before = std::move(before_[offset]);
        // A unit written back to what it held changes nothing.
        if (unit.after != unit.before)
            out.push_back(std::move(unit));
    }
    captured_.clear();
    before_.clear();
    capturing_ = false;
    return out;
}

bool ImageDevice::Read(std::int64_t offset, void* buffer, std::int64_t length) {
    return PRead(buffer, length, offset) == length;
}

bool ImageDevice::Write(std::int64_t offset, const void* buffer, std::int64_t length) {
    return PWrite(buffer, length, offset) == length;
}

bool ImageDevice::Flush() {
    return Sync() == 0;
}

}  // namespace kestrel::ntfsimage
