// The endpoint over the platform's real mailslots: the host sockets, or Windows mailslots under Wine.
#include <gtest/gtest.h>

#include <optional>

#include <cstdint>
#include <cwctype>
#include <string>
#include <vector>

#include "common/Format.h"
#include "common/Utf16.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "platform/Mailslot.h"
#include "platform/Trace.h"
#include "tests/mailslot/MailslotTestNames.h"

namespace kestrel {
namespace {

using Bytes = std::vector<std::uint8_t>;
using mailtest::UniqueSlotName;

// Takes the next message as raw bytes through the platform, as it lies in the mailslot.
Bytes RawRead(mailslot::RawMailslot reader) {
    mailslot::MailslotInfo info;
    EXPECT_EQ(mailslot::GetInfo(reader, info), mailslot::kErrorSuccess);
    if (info.nextSize == mailslot::kNoMessage)
        return {};
    Bytes bytes(info.nextSize);
    std::uint32_t got = 0;
    EXPECT_EQ(mailslot::Read(reader, bytes.data(), info.nextSize, got), mailslot::kErrorSuccess);
    bytes.resize(got);
    return bytes;
}

// A reader that exposes its handle, so that a test can look at the raw messages.
class InspectableReader : public MailslotReader {
  public:
    mailslot::RawMailslot Raw() const { return handle_.get(); }
};

class InspectableWriter : public MailslotWriter {
  public:
    mailslot::RawMailslot Raw() const { return handle_.get(); }
};

TEST(MailslotEndpointTest, EmptySlotReadsEmptyAtOnceAndWritesComeBackInOrder) {
    const std::wstring name = UniqueSlotName(L"order");
    MailslotReader reader;
    EXPECT_TRUE(reader.Read().empty());  // never created
    ASSERT_TRUE(reader.Create(name, false));
    EXPECT_TRUE(reader.IsOpen());
    EXPECT_TRUE(reader.Read().empty());

    MailslotWriter writer;
    ASSERT_TRUE(writer.Open(name));
    EXPECT_TRUE(writer.Write(L"C:\\GetData\\\\.\\mailslot\\KestrelGUI"));
    EXPECT_TRUE(writer.Write(L"second"));
    EXPECT_EQ(reader.Read(), L"C:\\GetData\\\\.\\mailslot\\KestrelGUI");
    EXPECT_EQ(reader.Read(), L"second");
    EXPECT_TRUE(reader.Read().empty());
}

TEST(MailslotEndpointTest, RawReadOfAnEmptySlotNeverWaits) {
    const std::wstring name = UniqueSlotName(L"nowait");
    InspectableReader reader;
    ASSERT_TRUE(reader.Create(name, false));
    // Nothing waits: the read fails at once (a reader created to wait forever would stall here).
    std::uint8_t buffer[16] = {};
    std::uint32_t got = 99;
    EXPECT_EQ(mailslot::Read(reader.Raw(), buffer, sizeof buffer, got), mailslot::kErrorSemTimeout);
    EXPECT_EQ(got, 0u);
}

TEST(MailslotEndpointTest, WireFormIsUtf16LeWithOneZeroByte) {
    const std::wstring name = UniqueSlotName(L"wire");
    InspectableReader reader;
    ASSERT_TRUE(reader.Create(name, false));
    MailslotWriter writer;
    ASSERT_TRUE(writer.Open(name));

    // Five characters travel as 11 bytes.
    ASSERT_TRUE(writer.Write(L"Hello"));
    EXPECT_EQ(RawRead(reader.Raw()), (Bytes{'H', 0, 'e', 0, 'l', 0, 'l', 0, 'o', 0, 0}));

    // A character outside the Basic Multilingual Plane is a surrogate pair on the wire, whatever the
    // width of wchar_t: U+1F600 is D83D DE00.
    std::wstring smiley = L"A";
    if constexpr (sizeof(wchar_t) == 2) {
        smiley += static_cast<wchar_t>(0xD83D);
        smiley += static_cast<wchar_t>(0xDE00);
    } else {
        smiley += static_cast<wchar_t>(0x1F600);
    }
    smiley += L"\u00e9";
    const Bytes expected{0x41, 0x00, 0x3D, 0xD8, 0x00, 0xDE, 0xE9, 0x00, 0x00};
    EXPECT_EQ(EncodeMailslotMessage(smiley), expected);
    ASSERT_TRUE(writer.Write(smiley));
    ASSERT_TRUE(writer.Write(smiley));
    EXPECT_EQ(RawRead(reader.Raw()), expected);
    EXPECT_EQ(reader.Read(), smiley);

    // The empty text is one zero byte.
    ASSERT_TRUE(writer.Write(L""));
    EXPECT_EQ(RawRead(reader.Raw()), Bytes{0});
}

TEST(MailslotEndpointTest, ReadSurvivesMalformedMessages) {
    const std::wstring name = UniqueSlotName(L"malformed");
    MailslotReader reader;
    ASSERT_TRUE(reader.Create(name, false));
    InspectableWriter writer;
    ASSERT_TRUE(writer.Open(name));
    auto send = [&](const Bytes& bytes) {
        ASSERT_EQ(mailslot::Write(writer.Raw(), bytes.data(), static_cast<std::uint32_t>(bytes.size())),
                  mailslot::kErrorSuccess);
    };
    send({});                         // zero length
    send({'A', 0, 'B'});              // odd length, last byte a whole code unit
    send({'C', 0, 'D', 0});           // no terminator
    send({'E', 0, 0, 0, 'F', 0, 0});  // text ends at the first zero character
    send({0x3D, 0xD8});               // lone high surrogate
    send({'G', 0, 0});                // a well-formed message still follows
    EXPECT_EQ(reader.Read(), L"");    // the zero-length message is taken, not left in the way
    EXPECT_EQ(reader.Read(), L"AB");
    EXPECT_EQ(reader.Read(), L"CD");
    EXPECT_EQ(reader.Read(), L"E");
    EXPECT_EQ(reader.Read().size(), 1u);  // a replacement character, no crash
    EXPECT_EQ(reader.Read(), L"G");
    EXPECT_TRUE(reader.Read().empty());

    // ReadMessage tells a message with an empty text from an empty mailslot: a reader that stops at
    // "nothing waiting" reads past any number of empty messages to the one behind them.
    EXPECT_EQ(reader.ReadMessage(), std::nullopt);
    for (int i = 0; i < 20; ++i)
        send(i % 3 == 0 ? Bytes{} : i % 3 == 1 ? Bytes{0} : Bytes{0, 0, 'X', 0});
    send({'H', 0, 0});
    int empties = 0;
    std::optional<std::wstring> message;
    while ((message = reader.ReadMessage()) && message->empty())
        ++empties;
    EXPECT_EQ(empties, 20);
    EXPECT_EQ(message, std::optional<std::wstring>(L"H"));
    EXPECT_EQ(reader.ReadMessage(), std::nullopt);

    // Far larger than any request of the protocol (Wine cuts messages at 64 KiB; Windows does not).
    const std::wstring large(30000, L'x');
    ASSERT_TRUE(static_cast<MailslotWriter&>(writer).Write(large));
    EXPECT_TRUE(reader.Read() == large);
}

TEST(MailslotEndpointTest, DebugLinesOfOpenWriteAndCreate) {
    const std::wstring name = UniqueSlotName(L"lines");
    trace::ScopedCapture capture;
    MailslotWriter writer;
    EXPECT_FALSE(writer.Open(name));  // nobody reads it yet
    EXPECT_FALSE(writer.IsOpen());
    EXPECT_FALSE(writer.Write(L"lost"));  // a failed open still accepts Write, which fails
    EXPECT_EQ(capture.Lines(), (std::vector<std::wstring>{
                                   Format(L"[VANTOR]CreateFile %s (mailslot) Error was 2", name),
                                   Format(L"[VANTOR]Write to mailslot %s (mailslot) Error was 6", name)}));

    capture.Clear();
    MailslotReader reader;
    ASSERT_TRUE(reader.Create(name, true));
    ASSERT_TRUE(writer.Open(name));
    EXPECT_EQ(writer.Name(), name);
    EXPECT_EQ(capture.Lines(),
              (std::vector<std::wstring>{
                  Format(L"[VANTOR] Mail Slot %s (CreateMailslot) created successfully\n", name),
                  Format(L"[VANTOR] Mail Slot %s (CreateFile) created successfully", name)}));
}

TEST(MailslotEndpointTest, CreateAgainReplacesTheSlotAndASecondReaderIsRefused) {
    const std::wstring name = UniqueSlotName(L"twice");
    MailslotReader reader;
    ASSERT_TRUE(reader.Create(name, false));
    {
        MailslotWriter writer;
        ASSERT_TRUE(writer.Open(name));
        ASSERT_TRUE(writer.Write(L"before"));
    }
    ASSERT_TRUE(reader.Create(name, false));  // closes its own handle first, so the name is free
    EXPECT_TRUE(reader.Read().empty());       // a new mailslot: the old message went with the old one

    trace::ScopedCapture capture;
    MailslotReader other;
    EXPECT_FALSE(other.Create(name, false));
    EXPECT_FALSE(other.IsOpen());
    const std::vector<std::wstring> lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], L"[VANTOR] CreateMailslot (mailslot) Error was 183");
    EXPECT_EQ(lines[1].rfind(Format(L"[VANTOR]Mailslotname %s - ", name), 0), 0u) << lines[1];
    EXPECT_TRUE(lines[1].ends_with(L" - error code=183\n")) << lines[1];

    MailslotWriter writer;
    ASSERT_TRUE(writer.Open(name));
    ASSERT_TRUE(writer.Write(L"after"));
    EXPECT_EQ(reader.Read(), L"after");
}

TEST(MailslotEndpointTest, RefusesEveryNameButALocalMailslot) {
    const std::wstring prefix = L"\\\\.\\mailslot\\";
    const std::vector<std::wstring> refused = {
        L"",
        prefix,
        L"KestrelGUI",
        L"\\\\.\\pipe\\KestrelGUI",
        L"\\\\server\\mailslot\\KestrelGUI",
        L"\\\\*\\mailslot\\KestrelGUI",
        L"C:\\Windows\\Temp\\KestrelGUI",
        L"/tmp/KestrelGUI",
        prefix + L"..",
        prefix + L".",
        prefix + L"a..b",
        prefix + L"..\\..\\Windows\\win.ini",
        prefix + L"../../etc/passwd",
        prefix + L"sub\\name",
        prefix + L"sub/name",
        prefix + L"trailing.",
        prefix + L"with space",
        prefix + L"colon:stream",
        prefix + L"caf\u00e9",
        prefix + std::wstring(L"nul\0after", 9),
        prefix + std::wstring(mailslot::kMaxMailslotNameLength + 1, L'a'),
    };
    for (const std::wstring& name : refused) {
        SCOPED_TRACE(::testing::PrintToString(ToUtf8(name)));
        trace::ScopedCapture capture;
        MailslotReader reader;
        EXPECT_FALSE(reader.Create(name, false));
        MailslotWriter writer;
        EXPECT_FALSE(writer.Open(name));
        const std::vector<std::wstring> lines = capture.Lines();
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], L"[VANTOR] CreateMailslot (mailslot) Error was 123");
        EXPECT_TRUE(lines[1].ends_with(L" - error code=123\n")) << lines[1];
        EXPECT_EQ(lines[2], Format(L"[VANTOR]CreateFile %s (mailslot) Error was 123", name));
    }

    // The longest accepted name works, and the prefix and name match without regard to case.
    const std::wstring longest = UniqueSlotName(L"long");
    const std::wstring padded =
        longest + std::wstring(prefix.size() + mailslot::kMaxMailslotNameLength - longest.size(), L'z');
    MailslotReader reader;
    ASSERT_TRUE(reader.Create(padded, false));
    std::wstring shouted = padded;
    for (wchar_t& c : shouted)
        c = static_cast<wchar_t>(std::towupper(c));
    MailslotWriter writer;
    ASSERT_TRUE(writer.Open(shouted));
    ASSERT_TRUE(writer.Write(L"loud"));
    EXPECT_EQ(reader.Read(), L"loud");
}

}  // namespace
}  // namespace kestrel
