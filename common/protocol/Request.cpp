#include "common/protocol/Request.h"

#include "common/UpperCase.h"
#include "platform/Mailslot.h"

namespace kestrel::protocol {

KeywordMatch FindCommand(std::wstring_view text) {
    for (const KeywordEntry& entry : kKeywords) {
        const std::size_t at = text.find(entry.keyword);
        if (at != std::wstring_view::npos)
            return {entry.command, at};
    }
    return {};
}

std::wstring_view ReplyName(std::wstring_view text) {
    const std::size_t at = text.find(L"\\\\");
    return at == std::wstring_view::npos ? std::wstring_view() : text.substr(at);
}

bool IsAcceptableReplyName(std::wstring_view name) {
    // The writer endpoint refuses every other name before it opens anything; answering only on names
    // it would open keeps the service from being pointed at a file, a device or another machine.
    return mailslot::IsValidMailslotName(name);
}

bool SameMailslotName(std::wstring_view a, std::wstring_view b) {
    return a.size() == b.size() && UpperCase(a) == UpperCase(b);
}

std::optional<std::wstring> ExclusionPath(std::wstring_view text, std::size_t keywordPosition) {
    constexpr std::size_t kPathStart = 3;  // after the letter, ":" and "\"
    if (keywordPosition < kPathStart || keywordPosition > text.size())
        return std::nullopt;
    return std::wstring(text.substr(kPathStart, keywordPosition - kPathStart));
}

Request ParseRequest(std::wstring_view text) {
    Request request;
    const KeywordMatch match = FindCommand(text);
    request.command = match.command;
    request.keywordPosition = match.position;
    if (!text.empty()) {
        request.driveLetter = text.front();
        request.driveIndex = DriveIndex(text.front());
    }
    request.replyName = std::wstring(ReplyName(text));
    request.replyAccepted = IsAcceptableReplyName(request.replyName);
    if (match.command == Command::AddExclude || match.command == Command::DeleteExclude) {
        request.exclusionPath = ExclusionPath(text, match.position);
    } else if (match.command == Command::DefragOnly) {
        request.defragOnly = DefragOnlyRecord::Parse(text);
    }
    return request;
}

std::wstring ComposeRequest(std::wstring_view argument, std::wstring_view word, std::wstring_view address) {
    std::wstring request;
    request.reserve(argument.size() + word.size() + address.size());
    request.append(argument).append(word).append(address);
    return request;
}

}  // namespace kestrel::protocol
