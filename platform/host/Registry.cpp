// The host's registry store: MemoryRegistry's tree kept in a text file in the state directory.
//
// File form (UTF-8, one record a line, fields separated by one space, every text field written as "="
// followed by its percent-escaped bytes, so that spaces, line breaks and "%" cannot break a record):
//     kestrel-registry 1
//     key HKLM =SYSTEM\CurrentControlSet\Services\Name
//     value =EventMessageFile 2 x2f00...        (name, type, "x" + the data in hex)
//     end
// A "value" record belongs to the "key" record before it. A file without the header or the closing "end"
// is damaged.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/Format.h"
#include "common/Utf16.h"
#include "platform/Trace.h"
#include "platform/host/HostRegistry.h"
#include "platform/host/ErrnoMapping.h"
#include "platform/host/StateDirectory.h"

namespace kestrel {
namespace reg {
namespace {
constexpr char kHeader[] = "kestrel-registry 1";

std::string Escape(std::wstring_view text) {
    static const char digits[] = "0123456789abcdef";
    std::string out = "=";
    for (unsigned char c : ToUtf8(text)) {
        if (c <= 0x20 || c == '%' || c == 0x7F) {
            out += '%';
            out += digits[c >> 4];
            out += digits[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool Unescape(std::string_view field, std::wstring* text) {
    if (field.empty() || field.front() != '=')
        return false;
    std::string bytes;
    for (std::size_t i = 1; i < field.size(); ++i) {
        if (field[i] != '%') {
            bytes += field[i];
            continue;
        }
        if (i + 2 >= field.size())
            return false;
        int high = HexDigit(field[i + 1]), low = HexDigit(field[i + 2]);
        if (high < 0 || low < 0)
            return false;
        bytes += static_cast<char>(high << 4 | low);
        i += 2;
    }
    *text = FromUtf8(bytes);
    return true;
}

std::vector<std::string_view> Fields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = line.find(' ', start);
        fields.push_back(line.substr(start, end == std::string_view::npos ? end : end - start));
        if (end == std::string_view::npos)
            return fields;
        start = end + 1;
    }
}

bool ParseNumber(std::string_view text, std::uint32_t* number) {
    if (text.empty() || text.size() > 10)
        return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFu)
        return false;
    *number = static_cast<std::uint32_t>(value);
    return true;
}
}  // namespace

HostRegistry::HostRegistry(std::string file) : file_(std::move(file)) {}

HostRegistry::~HostRegistry() {
    if (lockFd_ >= 0)
        close(lockFd_);
}

std::string HostRegistry::Serialize(const Tree& tree) {
    static const char digits[] = "0123456789abcdef";
    std::string out = std::string(kHeader) + "\n";
    struct Emitter {
        std::string& out;
        void Emit(const char* root, const Node& node, const std::wstring& path) {
            out += "key ";
            out += root;
            out += ' ';
            out += Escape(path);
            out += '\n';
            for (const auto& [folded, entry] : node.values) {
                out += "value " + Escape(entry.first) + " " + std::to_string(entry.second.type) + " x";
                for (std::uint8_t byte : entry.second.data) {
                    out += digits[byte >> 4];
                    out += digits[byte & 15];
                }
                out += '\n';
            }
            for (const auto& [folded, child] : node.keys) {
                Emit(root, *child, path.empty() ? child->name : path + L"\\" + child->name);
            }
        }
    } emitter{out};
    emitter.Emit("HKLM", tree.localMachine, L"");
    emitter.Emit("HKCU", tree.currentUser, L"");
    out += "end\n";
    return out;
}

bool HostRegistry::Parse(const std::string& text, Tree* tree) {
    std::string_view rest(text);
    std::vector<std::string_view> lines;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        if (end == std::string_view::npos)
            return false;  // every record ends with a line break
        lines.push_back(rest.substr(0, end));
        rest.remove_prefix(end + 1);
    }
    if (lines.size() < 2 || lines.front() != kHeader || lines.back() != "end")
        return false;
    Node* current = nullptr;
    for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
        std::vector<std::string_view> fields = Fields(lines[i]);
        if (fields.size() == 3 && fields[0] == "key") {
            Node* node = fields[1] == "HKLM"   ? &tree->localMachine
                         : fields[1] == "HKCU" ? &tree->currentUser
                                               : nullptr;
            std::wstring path;
            std::vector<std::wstring> names;
            if (node == nullptr || !Unescape(fields[2], &path) || !SplitKeyPath(path, false, &names))
                return false;
            for (const std::wstring& name : names) {
                auto& slot = node->keys[Fold(name)];
                if (!slot) {
                    slot = std::make_unique<Node>();
                    slot->name = name;
                }
                node = slot.get();
            }
            current = node;
        } else if (fields.size() == 4 && fields[0] == "value" && current != nullptr) {
            std::wstring name;
            Value value;
            if (!Unescape(fields[1], &name) || !ParseNumber(fields[2], &value.type))
                return false;
            std::string_view hex = fields[3];
            if (hex.empty() || hex.front() != 'x' || hex.size() % 2 != 1)
                return false;
            for (std::size_t j = 1; j < hex.size(); j += 2) {
                int high = HexDigit(hex[j]), low = HexDigit(hex[j + 1]);
                if (high < 0 || low < 0)
                    return false;
                value.data.push_back(static_cast<std::uint8_t>(high << 4 | low));
            }
            current->values[Fold(name)] = {name, std::move(value)};
        } else {
            return false;
        }
    }
    return true;
}

std::uint32_t HostRegistry::Reload() {
    Tree fresh;
    Stamp stamp;
    int fd = open(file_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            return host::Win32ErrorFromErrno(errno);
    } else {
        struct stat info {};
        std::string text;
        bool ok = fstat(fd, &info) == 0;
        char buffer[65536];
        while (ok) {
            ssize_t got = read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                ok = false;
            if (got <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
        int readError = errno;
        close(fd);
        if (!ok)
            return host::Win32ErrorFromErrno(readError);
        stamp = Stamp{true, info.st_dev, info.st_ino, info.st_size,
                      static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
        if (!Parse(text, &fresh)) {
            if (!damaged_ || !(stamp == stamp_)) {
                trace::Write(Format(L"Registry store %s is damaged; it is left as it is\n", FromUtf8(file_)));
            }
            damaged_ = true;
            loaded_ = true;
            stamp_ = stamp;
            return kErrorBadDatabase;
        }
    }
    tree().localMachine = std::move(fresh.localMachine);
    tree().currentUser = std::move(fresh.currentUser);
    damaged_ = false;
    loaded_ = true;
    stamp_ = stamp;
    return kErrorSuccess;
}

std::uint32_t HostRegistry::Save() {
    std::string text = Serialize(tree());
    std::string temp = file_ + ".XXXXXX";
    int fd = mkostemp(temp.data(), O_CLOEXEC);  // created with mode 0600
    if (fd < 0)
        return host::Win32ErrorFromErrno(errno);
    std::size_t done = 0;
    int error = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR)
            continue;
        if (wrote < 0) {
            error = errno;
            break;
        }
        done += static_cast<std::size_t>(wrote);
    }
    if (error == 0 && fsync(fd) != 0)
        error = errno;
    if (close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && rename(temp.c_str(), file_.c_str()) != 0)
        error = errno;
    if (error != 0) {
        unlink(temp.c_str());
        return host::Win32ErrorFromErrno(error);
    }
    // Make the rename itself durable.
    std::string directory =
        file_.substr(0, file_.find_last_of('/') == std::string::npos ? 0 : file_.find_last_of('/'));
    int dirFd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        fsync(dirFd);
        close(dirFd);
    }
    struct stat info {};
    if (stat(file_.c_str(), &info) == 0) {
        stamp_ = Stamp{true, info.st_dev, info.st_ino, info.st_size,
                       static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
    } else {
        loaded_ = false;  // reload next time
    }
    return kErrorSuccess;
}

void HostRegistry::Unlock() {
    if (locked_)
        flock(lockFd_, LOCK_UN);
    locked_ = false;
}

std::uint32_t HostRegistry::BeginOperation(bool write) {
    if (lockFd_ < 0) {
        lockFd_ = open((file_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (lockFd_ < 0)
            return host::Win32ErrorFromErrno(errno);
    }
    while (flock(lockFd_, write ? LOCK_EX : LOCK_SH) != 0) {
        if (errno != EINTR)
            return host::Win32ErrorFromErrno(errno);
    }
    locked_ = true;
    Stamp current;
    struct stat info {};
    if (stat(file_.c_str(), &info) == 0) {
        current = Stamp{true, info.st_dev, info.st_ino, info.st_size,
                        static_cast<long long>(info.st_mtim.tv_sec) * 1000000000LL + info.st_mtim.tv_nsec};
    }
    std::uint32_t error = kErrorSuccess;
    if (!loaded_ || !(current == stamp_)) {
        error = Reload();
    } else if (damaged_) {
        error = kErrorBadDatabase;
    }
    if (error != kErrorSuccess)
        Unlock();
    return error;
}

std::uint32_t HostRegistry::EndOperation(bool changed) {
    std::uint32_t error = kErrorSuccess;
    if (changed) {
        error = Save();
        if (error != kErrorSuccess) {
            // Put the tree back as it is on disk.
            loaded_ = false;
            Reload();
        }
    }
    Unlock();
    return error;
}

Registry& SystemRegistry() {
    static HostRegistry registry([] {
        std::string directory = host::StateDirectory();
        host::EnsureStateDirectory(directory);
        return directory + "/registry.dat";
    }());
    return registry;
}

}  // namespace reg
}  // namespace kestrel
