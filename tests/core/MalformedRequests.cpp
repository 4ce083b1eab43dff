// Writes malformed requests into the service's command mailslot, for the host robustness script:
//
//   malformed_requests COUNT SEED PACE_MS
//
// COUNT requests made from SEED, one every PACE_MS milliseconds (the service reads what has arrived once
// a nominal second, so the pace follows its time divisor): random code units (lone surrogates and control
// characters included), keywords among junk, over-long texts, broken defragment-only records, exclusion
// paths that climb out of the drive, and reply names that are no local mailslot (remote names, device
// and file paths, "..", slashes, over-long names) or name a slot nobody reads. Prints how many were
// written and how many writes the channel refused. Exit code: 0 done, 2 bad usage, 3 when the command
// mailslot cannot be opened (the service is not running).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/Utf16.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/Protocol.h"

namespace {

const std::vector<std::wstring> kHostileReplies = {
    L"\\\\server\\mailslot\\x",
    L"\\\\.\\C:\\kestrel-malformed",
    L"\\\\?\\/tmp/kestrel-malformed",
    L"\\\\.\\mailslot\\..\\..\\kestrel-malformed",
    L"\\\\.\\mailslot\\a/../../kestrel-malformed",
    L"\\\\.\\mailslot\\sub\\dir",
    L"\\\\.\\mailslot\\",
    L"\\\\.\\MAILSLOT\\/etc/passwd",
    L"\\\\.\\mailslot\\nobody-reads-this",
    L"\\\\",
    L"\\\\.\\pipe\\x",
    L"\\\\.\\mailslot\\" + std::wstring(400, L'n'),
};

const std::vector<std::wstring> kWords = {
    L"QUITWATCH", L"GetWatchingDrives", L"GetAvailableDrives", L"WATCH",       L"CurrentFile",
    L"GetData",   L"FreeSpace",         L"DEFRAGONLY",         L" ADDEXCLUDE", L" DELETEEXCLUDE"};

class Maker {
  public:
    explicit Maker(unsigned seed) : random_(seed) {}

    std::wstring Next() {
        switch (Between(0, 7)) {
            case 0:
                return Junk(Between(0, 600), true);
            case 1:
                return Junk(Between(0, 3), false) + Word() + Junk(Between(0, 40), false) + Reply();
            case 2: {
                std::wstring text = Junk(Between(1000, 30000), false);
                text.insert(static_cast<std::size_t>(Between(0, int(text.size()))), Word());
                return text + Reply();
            }
            case 3:
                return Letter() + std::wstring(L",") + Number() + L"," + Number() + L"DEFRAGONLY," +
                       Junk(Between(0, 20), false) + Reply();
            case 4:
                return Letter() + std::wstring(L":\\") + Climb() +
                       (Between(0, 1) ? L" ADDEXCLUDE" : L" DELETEEXCLUDE") + Reply();
            case 5:
                return std::wstring();
            case 6:
                // A command that must be answered on a name the service may not use.
                return Letter() + std::wstring(L":\\") + Word() +
                       kHostileReplies[Pick(kHostileReplies.size())];
            default:
                return Word() + Word() + Junk(Between(0, 8), true) + Reply();
        }
    }

  private:
    int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }
    std::size_t Pick(std::size_t n) { return static_cast<std::size_t>(Between(0, int(n) - 1)); }
    std::wstring Word() { return kWords[Pick(kWords.size())]; }
    std::wstring Letter() { return std::wstring(1, static_cast<wchar_t>(Between(0x20, 0x7E))); }
    std::wstring Number() {
        static const std::vector<std::wstring> numbers = {
            L"-1", L"2147483648", L"99999999999999999999", L"", L"1x", L" 1", L"-2147483649", L"0"};
        return numbers[Pick(numbers.size())];
    }
    std::wstring Climb() {
        std::wstring path;
        for (int i = Between(0, 30); i > 0; --i)
            path += Between(0, 2) == 0 ? L"..\\" : Junk(Between(1, 12), false) + L"\\";
        return path;
    }
    std::wstring Reply() {
        const int kind = Between(0, 3);
        if (kind == 0)
            return {};
        if (kind == 1)
            return Junk(Between(0, 20), false);
        return kHostileReplies[Pick(kHostileReplies.size())];
    }
    // Code units; `any` lets in every value but zero (which would end the text), else printable ASCII
    // with backslashes and commas more often than chance.
    std::wstring Junk(int length, bool any) {
        std::wstring text;
        for (int i = 0; i < length; ++i) {
            if (any)
                text += static_cast<wchar_t>(Between(1, 0xFFFF));
            else if (Between(0, 9) == 0)
                text += Between(0, 1) ? L'\\' : L',';
            else
                text += static_cast<wchar_t>(Between(0x20, 0x7E));
        }
        return text;
    }

    std::mt19937 random_;
};

int Run(const std::vector<std::string>& args) {
    if (args.size() != 3) {
        std::fprintf(stderr, "usage: malformed_requests COUNT SEED PACE_MS\n");
        return 2;
    }
    const long count = std::strtol(args[0].c_str(), nullptr, 10);
    const unsigned seed = static_cast<unsigned>(std::strtoul(args[1].c_str(), nullptr, 10));
    const long paceMs = std::strtol(args[2].c_str(), nullptr, 10);
    if (count < 0 || paceMs < 0)
        return 2;
    kestrel::MailslotWriter writer;
    if (!writer.Open(std::wstring(kestrel::protocol::kCommandMailslot)))
        return 3;
    Maker maker(seed);
    long refused = 0;
    auto next = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) {
        if (!writer.Write(maker.Next()))
            ++refused;
        next += std::chrono::milliseconds(paceMs);
        std::this_thread::sleep_until(next);
    }
    std::printf("malformed requests: %ld written, %ld refused by the channel\n", count - refused, refused);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    return Run(std::vector<std::string>(argv + 1, argv + argc));
}
