#include "platform/host/HostDiskCounters.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>

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

class HostRefresher : public Refresher {
  public:
    explicit HostRefresher(const HostDiskCounters& owner) : owner_(owner) {}

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
                Object object{known.devices, std::make_shared<HostAccess::Sample>()};
                objects_.push_back(object);
                access = std::make_unique<HostAccess>(object.sample);
                return AddResult::Added;
            }
        }
        error = kWbemNotFound;
        return AddResult::Failed;
    }

    void Refresh() override {
        std::map<std::string, std::uint64_t> ticks;
        const bool read = ReadAllTicks(owner_.DiskstatsPath(), ticks);
        const std::uint64_t base = Now100ns();
        for (Object& object : objects_) {
            std::uint64_t busyMs = 0;
            bool found = read;
            for (const std::string& device : object.devices) {
                const auto it = ticks.find(device);
                if (it == ticks.end()) {
                    found = false;
                    break;
                }
                busyMs += it->second;
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
        std::shared_ptr<HostAccess::Sample> sample;
    };
    const HostDiskCounters& owner_;
    std::vector<Object> objects_;
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

HostDiskCounters::HostDiskCounters(drives::DriveTable& drives, std::string diskstats, std::string sysBlock)
    : drives_(drives), diskstats_(std::move(diskstats)), sysBlock_(std::move(sysBlock)) {}

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
