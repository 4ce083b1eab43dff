// The records of runs and moves in progress, and writing them durably.
#include "platform/ntfsimage/MoveRecord.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/host/StateDirectory.h"

namespace kestrel::ntfsimage {

namespace {

constexpr char kMoveMagic[8] = {'K', 'S', 'T', 'R', 'M', 'O', 'V', '1'};
constexpr char kRunMagic[8] = {'K', 'S', 'T', 'R', 'R', 'U', 'N', '1'};
constexpr std::size_t kUnitBytes = 512;

class Out {
  public:
    template <typename T>
    void Put(T value) {
        bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
    }
    void Text(const std::string& s) {
        Put(static_cast<std::uint32_t>(s.size()));
        bytes += s;
    }
    void Raw(const void* p, std::size_t n) { bytes.append(static_cast<const char*>(p), n); }
    std::string Sealed() {
        Put(Fnv(bytes.data(), bytes.size()));
        return bytes;
    }
    std::string bytes;
};

class In {
  public:
    explicit In(const std::string& all) : bytes_(all) {}
    // Checks the trailing hash and drops it.
    bool Unseal() {
        if (bytes_.size() < 8)
            return false;
        std::uint64_t stored = 0;
        std::memcpy(&stored, bytes_.data() + bytes_.size() - 8, 8);
        end_ = bytes_.size() - 8;
        return stored == Fnv(bytes_.data(), end_);
    }
    template <typename T>
    bool Get(T& value) {
        if (end_ - at_ < sizeof value)
            return false;
        std::memcpy(&value, bytes_.data() + at_, sizeof value);
        at_ += sizeof value;
        return true;
    }
    bool Text(std::string& s) {
        std::uint32_t n = 0;
        if (!Get(n) || end_ - at_ < n)
            return false;
        s.assign(bytes_.data() + at_, n);
        at_ += n;
        return true;
    }
    bool Raw(std::vector<std::uint8_t>& v, std::size_t n) {
        if (end_ - at_ < n)
            return false;
        v.assign(bytes_.begin() + static_cast<std::ptrdiff_t>(at_),
                 bytes_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
        at_ += n;
        return true;
    }
    bool Done() const { return at_ == end_; }

  private:
    const std::string& bytes_;
    std::size_t at_ = 0, end_ = 0;
};

bool SyncDirectory(const std::string& directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool ok = fsync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

std::uint64_t Fnv(const void* bytes, std::size_t length, std::uint64_t seed) {
    const auto* p = static_cast<const std::uint8_t*>(bytes);
    std::uint64_t h = seed;
    for (std::size_t i = 0; i < length; ++i) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}

std::string EncodeMove(const MoveRecord& r) {
    Out out;
    out.Raw(kMoveMagic, sizeof kMoveMagic);
    out.Put(static_cast<std::uint32_t>(r.phase));
    out.Put(r.serial);
    out.Put(r.totalClusters);
    out.Put(r.clusterSize);
    out.Text(r.image);
    out.Text(r.file);
    out.Put(r.mref);
    out.Put(r.startVcn);
    out.Put(r.targetLcn);
    out.Put(r.clusters);
    out.Put(static_cast<std::uint32_t>(r.sources.size()));
    for (const ClusterRange& s : r.sources) {
        out.Put(s.lcn);
        out.Put(s.length);
    }
    out.Put(r.dataHash);
    out.Put(static_cast<std::uint32_t>(r.units.size()));
    for (const RecordUnit& u : r.units) {
        out.Put(u.offset);
        out.Put(static_cast<std::uint8_t>(u.kind));
        out.Raw(u.before.data(), kUnitBytes);
        out.Raw(u.after.data(), kUnitBytes);
    }
    return out.Sealed();
}

std::optional<MoveRecord> DecodeMove(const std::string& bytes) {
    In in(bytes);
    if (!in.Unseal() || bytes.compare(0, sizeof kMoveMagic, kMoveMagic, sizeof kMoveMagic) != 0)
        return std::nullopt;
    std::vector<std::uint8_t> magic;
    in.Raw(magic, sizeof kMoveMagic);
    MoveRecord r;
    std::uint32_t phase = 0, sources = 0, units = 0;
    if (!in.Get(phase) || (phase != MoveRecord::Intent && phase != MoveRecord::Committed))
        return std::nullopt;
    r.phase = static_cast<MoveRecord::Phase>(phase);
    if (!in.Get(r.serial) || !in.Get(r.totalClusters) || !in.Get(r.clusterSize) || !in.Text(r.image) ||
        !in.Text(r.file) || !in.Get(r.mref) || !in.Get(r.startVcn) || !in.Get(r.targetLcn) ||
        !in.Get(r.clusters) || !in.Get(sources))
        return std::nullopt;
    for (std::uint32_t i = 0; i < sources; ++i) {
        ClusterRange s;
        if (!in.Get(s.lcn) || !in.Get(s.length) || s.lcn < 0 || s.length <= 0)
            return std::nullopt;
        r.sources.push_back(s);
    }
    if (!in.Get(r.dataHash) || !in.Get(units))
        return std::nullopt;
    for (std::uint32_t i = 0; i < units; ++i) {
        RecordUnit u;
        std::uint8_t kind = 0;
        if (!in.Get(u.offset) || !in.Get(kind) || kind > 3 || u.offset < 0 || u.offset % kUnitBytes != 0 ||
            !in.Raw(u.before, kUnitBytes) || !in.Raw(u.after, kUnitBytes))
            return std::nullopt;
        u.kind = static_cast<UnitKind>(kind);
        r.units.push_back(std::move(u));
    }
    if (!in.Done())
        return std::nullopt;
    return r;
}

std::string EncodeRun(const RunRecord& r) {
    Out out;
    out.Raw(kRunMagic, sizeof kRunMagic);
    out.Put(r.serial);
    out.Text(r.image);
    out.Put(r.started);
    return out.Sealed();
}

std::optional<RunRecord> DecodeRun(const std::string& bytes) {
    In in(bytes);
    if (!in.Unseal() || bytes.compare(0, sizeof kRunMagic, kRunMagic, sizeof kRunMagic) != 0)
        return std::nullopt;
    std::vector<std::uint8_t> magic;
    in.Raw(magic, sizeof kRunMagic);
    RunRecord r;
    if (!in.Get(r.serial) || !in.Text(r.image) || !in.Get(r.started) || !in.Done())
        return std::nullopt;
    return r;
}

RecordFiles::RecordFiles(std::string directory, std::uint64_t serial, const std::string& image)
    : directory_(std::move(directory)) {
    // The image's real path tells two copies of one volume apart (a copy made with dd has the serial
    // number of its original); the serial number tells a reformatted volume at the same path apart.
    real_ = image;
    if (char* real = realpath(image.c_str(), nullptr)) {
        real_ = real;
        std::free(real);
    }
    char name[64];
    std::snprintf(name, sizeof name, "image-%016llx-", static_cast<unsigned long long>(serial));
    prefix_ = name;
    std::snprintf(name, sizeof name, "%s%016llx", prefix_.c_str(),
                  static_cast<unsigned long long>(Fnv(real_.data(), real_.size())));
    run_ = directory_ + "/" + name + ".run";
    move_ = directory_ + "/" + name + ".move";
}

std::vector<std::string> RecordFiles::OtherPathsOfVolume() const {
    std::vector<std::string> out;
    DIR* d = opendir(directory_.c_str());
    if (d == nullptr)
        return out;
    const std::string own = run_.substr(0, run_.size() - 4);
    while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        // "image-SERIAL-PATHHASH" and ".run" or ".move", nothing else (not the ".new" of a cut write).
        const std::size_t dot = name.find('.');
        if (name.compare(0, prefix_.size(), prefix_) != 0 || dot != prefix_.size() + 16 ||
            (name.compare(dot, std::string::npos, ".run") != 0 &&
             name.compare(dot, std::string::npos, ".move") != 0))
            continue;
        const std::string base = directory_ + "/" + name.substr(0, dot);
        if (base != own && std::find(out.begin(), out.end(), base) == out.end())
            out.push_back(base);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string RecordFiles::TakeOver(const std::string& other) const {
    for (const auto& [from, to] : {std::pair{other + ".move", move_}, std::pair{other + ".run", run_}})
        if (::rename(from.c_str(), to.c_str()) != 0 && errno != ENOENT)
            return from + ": " + std::strerror(errno);
    if (!SyncDirectory(directory_))
        return directory_ + ": " + std::strerror(errno);
    return {};
}

std::string RecordFiles::Write(const std::string& path, const std::string& bytes) const {
    if (host::EnsureStateDirectory(directory_) != 0)
        return directory_ + ": cannot create the state directory";
    const std::string temporary = path + ".new";
    if (spaceLimit_ != 0 && bytes.size() > spaceLimit_)
        return temporary + ": " + std::strerror(ENOSPC);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return temporary + ": " + std::strerror(errno);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    const bool written = done == bytes.size() && fsync(fd) == 0;
    const int error = errno;
    ::close(fd);
    if (!written) {
        ::unlink(temporary.c_str());
        return temporary + ": " + std::strerror(error);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        return path + ": " + std::strerror(errno);
    if (!SyncDirectory(directory_))
        return directory_ + ": " + std::strerror(errno);
    return {};
}

std::string RecordFiles::Remove(const std::string& path) const {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return path + ": " + std::strerror(errno);
    if (!SyncDirectory(directory_))
        return directory_ + ": " + std::strerror(errno);
    return {};
}

std::string RecordFiles::PutAside(const std::string& path) const {
    if (::rename(path.c_str(), (path + ".unreadable").c_str()) != 0 && errno != ENOENT)
        return path + ": " + std::strerror(errno);
    if (!SyncDirectory(directory_))
        return directory_ + ": " + std::strerror(errno);
    return {};
}

void RecordFiles::RemoveUnfinished() const {
    ::unlink((run_ + ".new").c_str());
    ::unlink((move_ + ".new").c_str());
}

std::optional<std::string> RecordFiles::Read(const std::string& path) const {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string bytes;
    char buffer[1 << 16];
    for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return bytes;
}

}  // namespace kestrel::ntfsimage
