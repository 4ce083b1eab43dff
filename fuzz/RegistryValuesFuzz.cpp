// Fuzzes the reading of stored settings, in two ways chosen by the first byte of the input.
//
// The host store's file: the rest of the input is written as the store's file and the settings store
// reads every setting through it (and writes what its readers write). A file that is not a store must be
// left byte for byte as it was, and every reader must answer its default. A file that is a store must
// read back as the same text after one write (writing the tree and reading it again changes nothing).
//
// Typed values: the rest of the input is a list of values of any type and size placed at the settings'
// names in an in-memory registry; every reader must answer what the stored bytes say under the store's
// reading rules (a "Move" or "WatchingDrives" value counts only as a REG_DWORD of four bytes, an
// exclusion or queued file only as a NUL-terminated string that fits the reading buffer, and only ten
// exclusions within the bounds of one entry are in force), and a path added as an exclusion must be read
// back.
#include <fuzzer/FuzzedDataProvider.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "common/UpperCase.h"
#include "common/Utf16.h"
#include "platform/MemoryRegistry.h"
#include "platform/host/HostRegistry.h"
#include "service/drives/SettingsStore.h"

namespace {

using namespace kestrel;
using drives::SettingsStore;

void Require(bool condition) {
    if (!condition)
        std::abort();
}

const std::string& Directory() {
    static const std::string directory = [] {
        // On a memory file system when there is one: the store flushes every write to disk.
        std::string pattern =
            access("/dev/shm", W_OK) == 0 ? "/dev/shm/kestrel-fuzz-XXXXXX" : "/tmp/kestrel-fuzz-XXXXXX";
        Require(mkdtemp(pattern.data()) != nullptr);
        return pattern;
    }();
    return directory;
}

bool WriteFile(const std::string& path, const std::string& text) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string ReadFile(const std::string& path) {
    std::string text;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    Require(fd >= 0);
    char buffer[65536];
    for (ssize_t got; (got = read(fd, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    close(fd);
    return text;
}

// Every reader of the settings store, for every drive.
struct Readings {
    std::int32_t lifeTime = 0;
    std::vector<bool> watching;
    std::vector<std::uint32_t> move;
    std::vector<std::vector<std::wstring>> exclusions;
    std::vector<std::size_t> queued;
};

Readings ReadAll(SettingsStore& store) {
    Readings r;
    r.lifeTime = store.LoadLifeTime();
    for (int index = 1; index <= 26; ++index) {
        const std::wstring drive(1, static_cast<wchar_t>(L'A' + index - 1));
        r.watching.push_back(store.IsWatching(index));
        r.move.push_back(store.ReadMove(index));
        r.exclusions.push_back(store.GetExclusions(drive));
        r.queued.push_back(
            store.RestoreQueue(index, [](const std::wstring& path) { Require(!path.empty()); }));
    }
    return r;
}

void StoreFile(const std::uint8_t* data, std::size_t size) {
    const std::string file = Directory() + "/registry.dat";
    const std::string original(reinterpret_cast<const char*>(data), size);
    Require(WriteFile(file, original));
    reg::HostRegistry registry(file);
    SettingsStore store(registry);
    reg::Value probe;
    const std::uint32_t first = registry.QueryValue(reg::kLocalMachine, L"probe", &probe);
    const Readings readings = ReadAll(store);
    if (first == reg::kErrorBadDatabase) {
        // Not a store: nothing was written over it and every reader answered its default.
        Require(ReadFile(file) == original);
        Require(readings.lifeTime == 0);
        for (std::size_t i = 0; i < 26; ++i) {
            Require(readings.watching[i] && readings.move[i] == 1);
            Require(readings.exclusions[i].empty() && readings.queued[i] == 0);
        }
        return;
    }
    Require(first == reg::kErrorSuccess || first == reg::kErrorFileNotFound);

    // Write the tree out once (a value set and removed again), then read that file into a second store
    // and have it write the tree out the same way: the two files must be the same text.
    auto rewrite = [](reg::Registry& r) {
        Require(r.SetValue(reg::kCurrentUser, L"fuzz probe", reg::Value::Dword(1)) == reg::kErrorSuccess);
        Require(r.DeleteValue(reg::kCurrentUser, L"fuzz probe") == reg::kErrorSuccess);
    };
    rewrite(registry);
    const std::string once = ReadFile(file);
    reg::HostRegistry again(file);
    rewrite(again);
    Require(ReadFile(file) == once);
}

// The reading rules of the settings store, applied to the bytes as stored.
std::optional<std::uint32_t> StoredDword(const std::optional<reg::Value>& value) {
    if (!value || value->type != reg::kRegDword || value->data.size() != 4)
        return std::nullopt;
    const auto& d = value->data;
    return std::uint32_t{d[0]} | std::uint32_t{d[1]} << 8 | std::uint32_t{d[2]} << 16 |
           std::uint32_t{d[3]} << 24;
}

bool StoredString(const std::optional<reg::Value>& value, std::size_t bufferChars) {
    if (!value || (value->type != reg::kRegSz && value->type != reg::kRegExpandSz))
        return false;
    const auto& d = value->data;
    return d.size() >= 2 && d.size() % 2 == 0 && d.size() <= bufferChars * 2 && d[d.size() - 2] == 0 &&
           d[d.size() - 1] == 0;
}

void TypedValues(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    reg::MemoryRegistry registry;
    SettingsStore store(registry);
    const std::wstring keys[] = {std::wstring(drives::kParametersPath), store.WatchingDrivesPath(),
                                 store.DrivePath(L'C'), store.QueuePath(L'C')};
    // What was stored, by key and value name.
    std::map<std::pair<int, std::wstring>, reg::Value> stored;
    while (in.remaining_bytes() > 0 && stored.size() < 64) {
        const int key = in.ConsumeIntegralInRange<int>(0, 3);
        const int pick = in.ConsumeIntegralInRange<int>(0, 29);
        const std::wstring name = pick == 28 ? L"LifeTime" : pick == 29 ? L"Move" : std::to_wstring(pick);
        reg::Value value;
        value.type = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::uint32_t>(0, 4)
                                      : in.ConsumeIntegral<std::uint32_t>();
        std::size_t length = in.ConsumeIntegralInRange<std::size_t>(0, 24);
        if (in.ConsumeIntegralInRange<int>(0, 15) == 0) {
            // Now and then a string around the reading buffers' limits.
            const std::size_t limits[] = {drives::kQueueEntryBufferChars * 2,
                                          drives::kExclusionBufferChars * 2};
            length = limits[in.ConsumeIntegralInRange<int>(0, 1)] +
                     in.ConsumeIntegralInRange<std::size_t>(0, 4) - 2;
        }
        const std::vector<std::uint8_t> pattern =
            in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange(1, 8));
        for (std::size_t i = 0; i < length; ++i)
            value.data.push_back(pattern.empty() ? 0 : pattern[i % pattern.size()]);
        if (length >= 2 && in.ConsumeBool())
            value.data[length - 1] = value.data[length - 2] = 0;  // a NUL at the end, as strings have
        reg::Key k = registry.Create(reg::kLocalMachine, keys[key], reg::kKeyAllAccess);
        Require(k.valid());
        Require(registry.SetValue(k.get(), name, value) == reg::kErrorSuccess);
        stored[{key, name}] = value;
    }
    auto at = [&](int key, const std::wstring& name) -> std::optional<reg::Value> {
        const auto it = stored.find({key, name});
        return it == stored.end() ? std::nullopt : std::optional<reg::Value>(it->second);
    };

    // "Move" of drive C, and the watched flags.
    Require(store.ReadMove(L"C") == StoredDword(at(2, L"Move")).value_or(1));
    for (int index = 1; index <= 26; ++index)
        Require(store.IsWatching(index) == (StoredDword(at(1, std::to_wstring(index))) != 0u));
    // The lifetime count, which the reader repairs when it is not a well-formed REG_DWORD.
    const std::optional<std::uint32_t> life = StoredDword(at(0, L"LifeTime"));
    Require(store.LoadLifeTime() == static_cast<std::int32_t>(life.value_or(0)));
    {
        reg::Key k = registry.Open(reg::kLocalMachine, keys[0], reg::kKeyRead);
        reg::Value now;
        Require(k.valid() && registry.QueryValue(k.get(), L"LifeTime", &now) == reg::kErrorSuccess);
        Require(StoredDword(now) == life.value_or(0));
    }
    // The exclusions in force: of the values "0", "1", ... up to the first that is not a string that
    // fits, the first ten, and of those the ones within the bounds of one entry (not empty, at most 100
    // UTF-16 code units, no ";").
    std::vector<std::wstring> expected;
    std::size_t readable = 0;
    while (readable < 10 && StoredString(at(2, std::to_wstring(readable)), drives::kExclusionBufferChars)) {
        const std::wstring text = at(2, std::to_wstring(readable))->AsString().value_or(L"");
        ++readable;
        if (!text.empty() && text.find(L';') == std::wstring::npos && ToUtf16(text).size() <= 100)
            expected.push_back(text);
    }
    const std::vector<std::wstring> exclusions = store.GetExclusions(L"C");
    Require(exclusions == expected);
    // An exclusion added is read back, and removed again leaves the others in order (one more may come
    // into force from beyond the first ten). One is refused only when listed or when ten are stored.
    const std::wstring path = L"\\FUZZ\\" + std::to_wstring(in.ConsumeIntegral<std::uint16_t>());
    std::vector<std::wstring> handed;
    if (store.AddExclusion(L"C", path, [&](const std::wstring& p) { handed.push_back(p); })) {
        Require(readable < 10);
        Require(handed == std::vector<std::wstring>{path});
        std::vector<std::wstring> now = store.GetExclusions(L"C");
        Require(std::find(now.begin(), now.end(), path) != now.end());
        std::vector<std::wstring> remaining;
        Require(store.RemoveExclusion(L"C", path, &remaining));
        Require(store.GetExclusions(L"C") == remaining);
        now.erase(std::find(now.begin(), now.end(), path));
        Require(remaining.size() >= now.size() && remaining.size() <= now.size() + 1 &&
                std::equal(now.begin(), now.end(), remaining.begin()));
    } else {
        Require(handed.empty());
        Require(readable == 10 || std::find(exclusions.begin(), exclusions.end(), path) != exclusions.end());
    }
    // The saved queue: values up to the first that is not a non-empty string that fits; then it is gone.
    std::size_t queued = 0;
    while (StoredString(at(3, std::to_wstring(queued)), drives::kQueueEntryBufferChars) &&
           at(3, std::to_wstring(queued))->data.size() > 2)
        ++queued;
    std::size_t handedQueue = 0;
    Require(store.RestoreQueue(3, [&](const std::wstring& p) {
        Require(!p.empty() && at(3, std::to_wstring(handedQueue++))->AsString() == p);
    }) == queued);
    Require(handedQueue == queued);
    Require(!registry.Open(reg::kLocalMachine, keys[3], reg::kKeyRead).valid());
    Require(registry.OpenHandleCount() == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    if (data[0] & 1)
        StoreFile(data + 1, size - 1);
    else
        TypedValues(data + 1, size - 1);
    return 0;
}
