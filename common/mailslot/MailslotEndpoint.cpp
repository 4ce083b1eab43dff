#include "common/mailslot/MailslotEndpoint.h"

#include <algorithm>
#include <limits>
#include <new>
#include <stdexcept>
#include <utility>

#include "common/Format.h"
#include "common/Utf16.h"
#include "platform/SystemError.h"
#include "platform/Trace.h"

namespace kestrel {

std::vector<std::uint8_t> EncodeMailslotMessage(std::wstring_view text) {
    const std::u16string units = ToUtf16(text);
    std::vector<std::uint8_t> bytes;
    bytes.reserve(units.size() * 2 + 1);
    for (char16_t unit : units) {
        bytes.push_back(static_cast<std::uint8_t>(unit & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    bytes.push_back(0);  // one zero byte ends the text: 2n+1 bytes
    return bytes;
}

std::wstring DecodeMailslotMessage(const std::uint8_t* data, std::size_t size) {
    std::u16string units;
    if (data == nullptr)
        return {};
    units.reserve(size / 2);
    for (std::size_t i = 0; i < size; i += 2) {
        // A message of odd length ends in half a code unit; its missing high byte is zero.
        const auto high = static_cast<char16_t>(i + 1 < size ? data[i + 1] : 0);
        const auto unit = static_cast<char16_t>(data[i] | (high << 8));
        if (unit == 0)
            break;
        units.push_back(unit);
    }
    return FromUtf16(units);
}

MailslotEndpoint::~MailslotEndpoint() {
    handle_.reset();
    name_.clear();
}

bool MailslotWriter::Open(const std::wstring& name) {
    name_ = name;
    handle_.reset();
    mailslot::OpenResult opened = mailslot::OpenWriter(name);
    if (!opened.handle) {
        trace::Write(Format(L"[VANTOR]CreateFile %s (mailslot) Error was %d", name, opened.error));
        return false;
    }
    handle_ = std::move(opened.handle);
    trace::Write(Format(L"[VANTOR] Mail Slot %s (CreateFile) created successfully", name));
    return true;
}

bool MailslotWriter::Write(const std::wstring& text) {
    const std::vector<std::uint8_t> bytes = EncodeMailslotMessage(text);
    std::uint32_t error = mailslot::kErrorInvalidParameter;
    if (bytes.size() <= std::numeric_limits<std::uint32_t>::max()) {
        error = mailslot::Write(handle_.get(), bytes.data(), static_cast<std::uint32_t>(bytes.size()),
                                roomWaitMs_);
    }
    if (error != mailslot::kErrorSuccess) {
        trace::Write(Format(L"[VANTOR]Write to mailslot %s (mailslot) Error was %d", name_, error));
        return false;
    }
    return true;
}

bool MailslotReader::Open(const std::wstring& name) {
    return Create(name, false);
}

bool MailslotReader::Create(const std::wstring& name, bool secure) {
    name_ = name;
    handle_.reset();
    mailslot::CreateResult created = mailslot::CreateReader(name, secure);
    if (secure && created.descriptorError != mailslot::kErrorSuccess) {
        // The slot is still created, with the system's default access rules.
        trace::Write(Format(L"[VANTOR]Mailslotname %s - %s - error code= %d \n", name,
                            SystemErrorText(created.descriptorError), created.descriptorError));
    }
    if (!created.handle) {
        trace::Write(Format(L"[VANTOR] CreateMailslot (mailslot) Error was %d", created.error));
        trace::Write(Format(L"[VANTOR]Mailslotname %s - %s - error code=%d\n", name,
                            SystemErrorText(created.error), created.error));
        return false;
    }
    handle_ = std::move(created.handle);
    trace::Write(Format(L"[VANTOR] Mail Slot %s (CreateMailslot) created successfully\n", name));
    return true;
}

std::wstring MailslotReader::Read() {
    return ReadMessage().value_or(std::wstring());
}

std::optional<std::wstring> MailslotReader::ReadMessage() {
    if (!handle_)
        return std::nullopt;
    mailslot::MailslotInfo info;
    if (mailslot::GetInfo(handle_.get(), info) != mailslot::kErrorSuccess)
        return std::nullopt;
    // The next size alone tells whether a message waits: some mailslot implementations count a message
    // of no bytes as none, and it would then stay in front of every later message for good.
    if (info.nextSize == mailslot::kNoMessage)
        return std::nullopt;
    // Two spare zero bytes: room for a terminator, and a buffer that is never empty, because a read
    // into no room at all does not take a message of no bytes out of the mailslot.
    std::vector<std::uint8_t> buffer;
    try {
        buffer.resize(static_cast<std::size_t>(info.nextSize) + 2);  // zero-filled
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    } catch (const std::length_error&) {
        return std::nullopt;
    }
    std::uint32_t got = 0;
    const auto room = static_cast<std::uint32_t>(
        std::min<std::size_t>(buffer.size(), std::numeric_limits<std::uint32_t>::max()));
    if (mailslot::Read(handle_.get(), buffer.data(), room, got) != mailslot::kErrorSuccess) {
        return std::wstring();  // a message of no bytes may read as an error; it has been taken all the same
    }
    return DecodeMailslotMessage(buffer.data(), got < buffer.size() ? got : buffer.size());
}

}  // namespace kestrel
