// Writes malformed requests into the service's command mailslot, for the host robustness scripts:
//
//   malformed_requests COUNT SEED PACE_MS
//   malformed_requests flood SECONDS KIND SEED [REPLY_SLOT]
//
// The first form writes COUNT requests made from SEED, one every PACE_MS milliseconds (the service reads
// what has arrived once a nominal second, so the pace follows its time divisor): random code units (lone
// surrogates and control characters included), keywords among junk, over-long texts, broken
// defragment-only records, exclusion paths that climb out of the drive, and reply names that are no local
// mailslot (remote names, device and file paths, "..", slashes, over-long names) or name a slot nobody
// reads. Prints how many were written and how many writes the channel refused.
//
// The second writes as fast as it can for SECONDS, never waiting for room (a refused write is counted and
// the next one follows): KIND "valid" sends requests of every kind, each answered on REPLY_SLOT
// ("\\.\mailslot\REPLY_SLOT", default a slot nobody reads), for drives that exist and drives that do
// not; "malformed" the requests of the first form; "empty" messages of no bytes or whose text is empty;
// "raw" partial and garbage bytes (odd lengths, lone halves of code units, no terminator); "big" requests
// of 60,000 characters. Prints the messages written and refused.
//
// Exit code: 0 done, 2 bad usage, 3 when the command mailslot cannot be opened (the service is not
// running).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/Utf16.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "platform/Mailslot.h"
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

// Every request the panel sends, and some for drives that are not there, answered on `reply`.
std::wstring ValidRequest(std::mt19937& random, const std::wstring& reply) {
    const int n = std::uniform_int_distribution<int>(0, 13)(random);
    const std::wstring path = L"D:\\FLOOD\\" + std::to_wstring(n % 4);
    switch (n) {
        case 0:
            return L"D:\\GetData" + reply;
        case 1:
            return L"D:\\FreeSpace" + reply;
        case 2:
            return L"GetWatchingDrives" + reply;
        case 3:
            return L"GetAvailableDrives" + reply;
        case 4:
            return L"D0DEFRAGONLY" + reply;
        case 5:
            return L"D1DEFRAGONLY" + reply;
        case 6:
            return L"D:\\" + path + L" ADDEXCLUDE" + reply;
        case 7:
            return L"D:\\" + path + L" DELETEEXCLUDE" + reply;
        case 8:
            return L"D WATCH" + reply;
        case 9:
            return L"Q WATCH" + reply;
        case 10:
            return L"Q QUITWATCH" + reply;
        case 11:
            return L"Q:\\GetData" + reply;
        case 12:
            return L"\u00c4\u4e2d\U0001F600GetData" + reply;
        default:
            return L"D:\\CurrentFile" + reply;
    }
}

int Flood(const std::vector<std::string>& args) {
    if (args.size() < 4 || args.size() > 5)
        return 2;
    const double seconds = std::strtod(args[1].c_str(), nullptr);
    const std::string kind = args[2];
    std::mt19937 random(static_cast<unsigned>(std::strtoul(args[3].c_str(), nullptr, 10)));
    const std::wstring reply =
        L"\\\\.\\mailslot\\" + kestrel::FromUtf8(args.size() == 5 ? args[4] : "NobodyReads");
    kestrel::MailslotWriter writer;
    if (!writer.Open(std::wstring(kestrel::protocol::kCommandMailslot)))
        return 3;
    writer.SetRoomWait(0);
    kestrel::mailslot::MailslotHandle raw =
        kestrel::mailslot::OpenWriter(std::wstring(kestrel::protocol::kCommandMailslot)).handle;
    Maker maker(static_cast<unsigned>(random()));
    const std::wstring big = L"D:\\GetData" + reply + std::wstring(60000, L'Z');
    long written = 0, refused = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < end) {
        bool sent = false;
        if (kind == "valid") {
            sent = writer.Write(ValidRequest(random, reply));
        } else if (kind == "malformed") {
            sent = writer.Write(maker.Next());
        } else if (kind == "big") {
            sent = writer.Write(big);
        } else if (kind == "empty" || kind == "raw") {
            std::vector<std::uint8_t> bytes;
            const int shape = std::uniform_int_distribution<int>(0, 3)(random);
            if (kind == "empty") {
                bytes = shape == 0 ? std::vector<std::uint8_t>{}
                                   : std::vector<std::uint8_t>(static_cast<std::size_t>(shape), 0);
            } else {
                bytes.resize(static_cast<std::size_t>(std::uniform_int_distribution<int>(1, 3000)(random)));
                for (std::uint8_t& byte : bytes)
                    byte = static_cast<std::uint8_t>(random());
                if (shape == 0)
                    bytes.back() = 0xD8;  // half of a high surrogate
            }
            sent = kestrel::mailslot::Write(raw.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                            0) == kestrel::mailslot::kErrorSuccess;
        } else {
            return 2;
        }
        if (sent) {
            ++written;
        } else {
            ++refused;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
    std::printf("flood of %s requests: %ld written, %ld refused by the channel\n", kind.c_str(), written,
                refused);
    return 0;
}

int Run(const std::vector<std::string>& args) {
    if (!args.empty() && args[0] == "flood")
        return Flood(args);
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
