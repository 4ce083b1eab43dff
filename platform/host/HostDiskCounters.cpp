#include "platform/host/HostDiskCounters.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>

#include "common/Utf16.h"

namespace kestrel::perf {
namespace {

constexpr std::int32_t kIdleHandle = 1;
constexpr std::int32_t kBaseHandle = 2;
constexpr std::uint64_t kTicksPerMs = 10000;  // 100 ns units

// io_ticks of every device listed in the statistics; false when they cannot be read.
bool ReadAllTicks(const std::string& path, std::map<std::string, std::uint64_t>& ticks) {
    std::ifstream in(path);
    if (!in)
        return false;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string major, minor, name;
        fields >> major >> minor >> name;
        // reads, reads merged, sectors read, ms reading, writes, writes merged, sectors written,
        // ms writing, I/Os in progress, ms doing I/O (io_ticks)
        std::uint64_t value = 0;
        int index = 0;
        for (; index < 10 && (fields >> value); ++index) {
        }
        if (index == 10)
            ticks[name] = value;
    }
    return true;
}

// The field at `index` (0 first) of a line of whitespace-separated fields, without allocating; empty
// when the line has fewer.
std::string_view Field(std::string_view line, int index) {
    std::size_t at = 0;
    for (int i = 0;; ++i) {
        while (at < line.size() && (line[at] == ' ' || line[at] == '\t'))
            ++at;
        const std::size_t start = at;
        while (at < line.size() && line[at] != ' ' && line[at] != '\t' && line[at] != '\n')
            ++at;
        if (i == index || start == at)
            return line.substr(start, at - start);
    }
}

bool Number(std::string_view text, std::uint64_t& value) {
    if (text.empty())
        return false;
    std::uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        number = number * 10 + static_cast<std::uint64_t>(c - '0');
    }
    value = number;
    return true;
}

// In a line of /proc/diskstats the name is the third field and io_ticks the thirteenth (major, minor,
// name, then reads, reads merged, sectors read, ms reading, writes, writes merged, sectors written, ms
// writing, I/Os in progress, ms doing I/O); a device's own statistics file (/sys/class/block/NAME/stat)
// is the same line without the first three.
constexpr int kNameField = 2;
constexpr int kTicksField = 12;
constexpr int kStatTicksField = 9;

std::uint64_t Now100ns() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count() /
                                      100);
}

class HostAccess : public CounterAccess {
  public:
    struct Sample {
        bool valid = false;
        std::uint64_t idle = 0;
        std::uint64_t base = 0;
    };
    explicit HostAccess(std::shared_ptr<Sample> sample) : sample_(std::move(sample)) {}
    std::int32_t GetPropertyHandle(const std::wstring& property, std::int32_t& handle) override {
        if (property == L"PercentIdleTime") {
            handle = kIdleHandle;
            return 0;
        }
        if (property == L"PercentIdleTime_Base") {
            handle = kBaseHandle;
            return 0;
        }
        return kWbemNotFound;
    }
    bool ReadQword(std::int32_t handle, std::uint64_t& value) override {
        if (!sample_->valid)
            return false;
        if (handle == kIdleHandle) {
            value = sample_->idle;
            return true;
        }
        if (handle == kBaseHandle) {
            value = sample_->base;
            return true;
        }
        return false;
    }

  private:
    std::shared_ptr<Sample> sample_;
};

// Each Refresh reads /proc/diskstats once into a buffer kept from one sample to the next (through a
// descriptor kept open: the file is produced afresh from its start by every read at offset 0), and
// parses the numbers of only the lines of the devices it samples: a sample every second or so costs a
// read and a scan, no allocation.
class HostRefresher : public Refresher {
  public:
    explicit HostRefresher(const HostDiskCounters& owner) : owner_(owner) {}
    ~HostRefresher() override {
        if (fd_ >= 0)
            close(fd_);
        for (Object& object : objects_)
            CloseOwnStats(object);
    }

    AddResult AddObjectByPath(const std::wstring& objectPath, std::int32_t& error,
                              std::unique_ptr<CounterAccess>& access) override {
        const std::wstring instance = InstanceOfObjectPath(objectPath);
        std::vector<HostDiskCounters::Instance> instances;
        if (instance.empty() || !owner_.Instances(instances)) {
            error = kWbemNotFound;
            return AddResult::Failed;
        }
        for (const auto& known : instances) {
            if (known.name == instance) {
                Object object{known.devices,
                              std::vector<std::uint64_t>(known.devices.size()),
                              std::vector<bool>(known.devices.size()),
                              std::make_shared<HostAccess::Sample>(),
                              {},
                              false};
                OpenOwnStats(object);
                objects_.push_back(object);
                access = std::make_unique<HostAccess>(object.sample);
                return AddResult::Added;
            }
        }
        error = kWbemNotFound;
        return AddResult::Failed;
    }

    void Refresh() override {
        const bool read = std::all_of(objects_.begin(), objects_.end(),
                                      [](const Object& object) { return object.ownStats; }) ||
                          ReadStatistics();
        const std::uint64_t base = Now100ns();
        for (Object& object : objects_) {
            std::fill(object.found.begin(), object.found.end(), false);
            if (object.ownStats)
                ReadOwnStats(object);
        }
        if (read && length_ > 0) {
            std::string_view rest(buffer_.data(), length_);
            while (!rest.empty()) {
                const std::size_t end = rest.find('\n');
                const std::string_view line = rest.substr(0, end);
                rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
                const std::string_view name = Field(line, kNameField);
                for (Object& object : objects_) {
                    for (std::size_t i = 0; !object.ownStats && i < object.devices.size(); ++i) {
                        if (!object.found[i] && object.devices[i] == name)
                            object.found[i] = Number(Field(line, kTicksField), object.ticks[i]);
                    }
                }
            }
        }
        for (Object& object : objects_) {
            std::uint64_t busyMs = 0;
            bool found = object.ownStats || read;
            for (std::size_t i = 0; found && i < object.devices.size(); ++i) {
                found = object.found[i];
                busyMs += object.ticks[i];
            }
            if (!found) {
                object.sample->valid = false;  // a failed refresh shows as failed reads
                continue;
            }
            if (!object.devices.empty())
                busyMs /= object.devices.size();  // the summary is the disks' average
            const std::uint64_t busy = std::min(busyMs * kTicksPerMs, base);
            object.sample->idle = std::max(object.sample->idle, base - busy);
            object.sample->base = base;
            object.sample->valid = true;
        }
    }

  private:
    struct Object {
        std::vector<std::string> devices;
        std::vector<std::uint64_t> ticks;  // of the last sample, one per device
        std::vector<bool> found;
        std::shared_ptr<HostAccess::Sample> sample;
        std::vector<int> statFds;  // each device's own statistics file, open while ownStats
        bool ownStats = false;
    };

    // Opens each device's own statistics file; when one cannot be opened the object is read from the
    // whole statistics file instead.
    void OpenOwnStats(Object& object) {
        for (const std::string& device : object.devices) {
            const int fd =
                open((owner_.ClassBlockPath() + "/" + device + "/stat").c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0) {
                CloseOwnStats(object);
                return;
            }
            object.statFds.push_back(fd);
        }
        object.ownStats = !object.devices.empty();
    }
    static void CloseOwnStats(Object& object) {
        for (int fd : object.statFds)
            close(fd);
        object.statFds.clear();
        object.ownStats = false;
    }
    // One line each, read afresh at offset 0 from the descriptors kept open.
    static void ReadOwnStats(Object& object) {
        for (std::size_t i = 0; i < object.statFds.size(); ++i) {
            char line[512];
            const ssize_t got = pread(object.statFds[i], line, sizeof line - 1, 0);
            if (got > 0)
                object.found[i] =
                    Number(Field(std::string_view(line, static_cast<std::size_t>(got)), kStatTicksField),
                           object.ticks[i]);
        }
    }

    // The whole statistics file into buffer_ (grown, rarely, when it does not fit); false when it cannot
    // be read.
    bool ReadStatistics() {
        if (fd_ < 0) {
            fd_ = open(owner_.DiskstatsPath().c_str(), O_RDONLY | O_CLOEXEC);
            if (fd_ < 0)
                return false;
        }
        if (buffer_.empty())
            buffer_.resize(16384);
        for (;;) {
            length_ = 0;
            for (;;) {
                const ssize_t got = pread(fd_, buffer_.data() + length_, buffer_.size() - length_,
                                          static_cast<off_t>(length_));
                if (got < 0 && errno == EINTR)
                    continue;
                if (got < 0) {
                    close(fd_);
                    fd_ = -1;
                    return false;
                }
                if (got == 0)
                    return true;
                length_ += static_cast<std::size_t>(got);
                if (length_ == buffer_.size())
                    break;
            }
            buffer_.resize(buffer_.size() * 2);
        }
    }

    const HostDiskCounters& owner_;
    std::vector<Object> objects_;
    int fd_ = -1;
    std::vector<char> buffer_;
    std::size_t length_ = 0;
};

class HostSession : public CounterSession {
  public:
    explicit HostSession(const HostDiskCounters& owner) : owner_(owner) {}
    std::int32_t Initialize() override { return 0; }
    bool Connect() override { return true; }
    std::int32_t SetProxyBlanket() override { return 0; }
    std::unique_ptr<Refresher> CreateRefresher() override { return std::make_unique<HostRefresher>(owner_); }

  private:
    const HostDiskCounters& owner_;
};

}  // namespace

HostDiskCounters::HostDiskCounters(drives::DriveTable& drives, std::string diskstats, std::string sysBlock,
                                   std::string classBlock)
    : drives_(drives),
      diskstats_(std::move(diskstats)),
      sysBlock_(std::move(sysBlock)),
      classBlock_(std::move(classBlock)) {}

std::string HostDiskCounters::DeviceOf(const std::wstring& directory) const {
    struct stat info {};
    if (directory.empty() || ::stat(ToUtf8(directory).c_str(), &info) != 0)
        return {};
    const std::string node =
        sysBlock_ + "/" + std::to_string(major(info.st_dev)) + ":" + std::to_string(minor(info.st_dev));
    char target[4096];
    const ssize_t length = ::readlink(node.c_str(), target, sizeof(target) - 1);
    if (length <= 0)
        return {};
    std::string path(target, static_cast<std::size_t>(length));
    // A partition lies in its disk's folder: the disk is the physical one.
    struct stat partition {};
    if (::stat((node + "/partition").c_str(), &partition) == 0) {
        const std::size_t slash = path.find_last_of('/');
        if (slash == std::string::npos)
            return {};
        path.resize(slash);
    }
    const std::size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    std::uint64_t ticks = 0;
    return IoTicks(name, ticks) ? name : std::string{};
}

bool HostDiskCounters::IoTicks(const std::string& device, std::uint64_t& ticks) const {
    std::map<std::string, std::uint64_t> all;
    if (!ReadAllTicks(diskstats_, all))
        return false;
    const auto it = all.find(device);
    if (it == all.end())
        return false;
    ticks = it->second;
    return true;
}

bool HostDiskCounters::Instances(std::vector<Instance>& instances) const {
    std::map<std::string, std::uint64_t> all;
    if (!ReadAllTicks(diskstats_, all))
        return false;
    instances.clear();
    std::vector<std::string> devices;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
        const std::optional<drives::DriveEntry> entry = drives_.Find(letter);
        if (!entry)
            continue;
        const std::string device = DeviceOf(entry->directory);
        if (device.empty())
            continue;
        std::size_t i = 0;
        while (i < devices.size() && devices[i] != device)
            ++i;
        if (i == devices.size()) {
            devices.push_back(device);
            instances.push_back({std::to_wstring(i), {device}});
        }
        instances[i].name += std::wstring(L" ") + letter + L":";
    }
    instances.push_back({L"_Total", devices});
    return true;
}

std::int32_t HostDiskCounters::RefreshObjects() {
    return 0;
}

std::int32_t HostDiskCounters::ObjectItemLengths(const std::wstring& object, std::uint32_t& counterLength,
                                                 std::uint32_t& instanceLength, std::uint32_t& lastError) {
    lastError = 0;
    std::vector<Instance> instances;
    if (object != L"PhysicalDisk" || !Instances(instances)) {
        lastError = 2;  // ERROR_FILE_NOT_FOUND
        return kPdhNoObject;
    }
    counterLength = 1;
    instanceLength = 1;
    for (const Instance& instance : instances)
        instanceLength += static_cast<std::uint32_t>(instance.name.size() + 1);
    return kPdhMoreData;
}

std::int32_t HostDiskCounters::ObjectItems(const std::wstring& object, std::uint32_t, std::uint32_t,
                                           std::vector<std::wstring>& names) {
    std::vector<Instance> instances;
    if (object != L"PhysicalDisk" || !Instances(instances))
        return kPdhNoObject;
    names.clear();
    for (const Instance& instance : instances)
        names.push_back(instance.name);
    return 0;
}

std::unique_ptr<CounterSession> HostDiskCounters::OpenSession() {
    return std::make_unique<HostSession>(*this);
}

DiskCounters& DefaultDiskCounters() {
    static HostDiskCounters counters(drives::HostDriveTable());
    return counters;
}

}  // namespace kestrel::perf
