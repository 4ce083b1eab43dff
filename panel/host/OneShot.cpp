#include "panel/host/OneShot.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "common/UpperCase.h"
#include "common/mailslot/MailslotEndpoint.h"
#include "common/protocol/DefragOnlyRecord.h"
#include "common/protocol/Protocol.h"
#include "common/protocol/Reply.h"
#include "panel/PanelCore.h"

namespace kestrel::panel::host {

namespace proto = kestrel::protocol;

namespace {

// The drive of a command-line word: "D", "d", "D:" or "D:\"; 0 when the word is none of these.
wchar_t DriveOfWord(const std::wstring& word) {
    if (word.empty() || word.size() > 3)
        return L'\0';
    const wchar_t letter = UpperCaseChar(word[0]);
    if (letter < L'A' || letter > L'Z')
        return L'\0';
    if (word.size() >= 2 && word[1] != L':')
        return L'\0';
    if (word.size() == 3 && word[2] != L'\\')
        return L'\0';
    return letter;
}

std::wstring Root(wchar_t letter) {
    return std::wstring(1, letter) + L":\\";
}

// The replies of one code, in the order they came.
std::vector<std::wstring> TextsOf(const std::vector<std::wstring>& replies, int code) {
    std::vector<std::wstring> texts;
    for (const std::wstring& message : replies) {
        if (std::optional<proto::Reply> reply = proto::ParseReply(message); reply && reply->code == code)
            texts.push_back(reply->text);
    }
    return texts;
}

std::wstring Joined(const std::vector<std::wstring>& entries, std::wstring_view separator) {
    std::wstring text;
    for (const std::wstring& entry : entries) {
        if (!text.empty())
            text += separator;
        text += entry;
    }
    return text.empty() ? L"(none)" : text;
}

// The drives of the last list reply of a code; nothing when none came.
std::optional<std::vector<std::wstring>> LastDriveList(const std::vector<std::wstring>& replies, int code) {
    std::vector<std::wstring> texts = TextsOf(replies, code);
    if (texts.empty())
        return std::nullopt;
    return proto::SplitDriveList(texts.back());
}

bool ListsDrive(const std::vector<std::wstring>& drives, wchar_t letter) {
    return std::any_of(drives.begin(), drives.end(),
                       [letter](const std::wstring& d) { return !d.empty() && d[0] == letter; });
}

}  // namespace

std::wstring OneShotUsage() {
    return L"  kestrel drives                  the watched and the available drives\n"
           L"  kestrel watch D                 start watching drive D\n"
           L"  kestrel unwatch D               stop watching drive D\n"
           L"  kestrel stats D                 the statistics of drive D and the totals\n"
           L"  kestrel freespace D             the percentage of drive D that is free\n"
           L"  kestrel exclude D PATH          exclude PATH on drive D from monitoring (sent in upper case)\n"
           L"  kestrel include D PATH          remove the exclusion PATH of drive D\n"
           L"  kestrel defragonly D on|off     set drive D's Defrag Only choice\n"
           L"PATH is a full path such as D:\\logs, as the service lists it: a changed file is not\n"
           L"monitored when its full path contains PATH anywhere (case does not matter), so D:\\logs\n"
           L"also covers D:\\logs2\\x.txt. PATH may not hold \";\" or a command word of the service.\n";
}

std::string MailslotDirectory() {
    const char* chosen = std::getenv("KESTREL_MAILSLOT_DIR");
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::string dir;
    if (chosen != nullptr && *chosen != '\0')
        dir = chosen;
    else if (runtime != nullptr && runtime[0] == '/')
        dir = std::string(runtime) + "/kestrel";
    else
        dir = "/tmp/kestrel-" + std::to_string(::geteuid());
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return dir;
}

std::wstring OwnReplyName(std::wstring_view stem) {
    return std::wstring(mailslot::kMailslotPrefix) + std::wstring(stem) + std::to_wstring(::getpid());
}

void RemoveOwnSlotLock(const std::wstring& name) {
    const std::wstring_view shortName = mailslot::MailslotShortName(name);
    if (shortName.empty())
        return;
    // The mailslot layer folds the name to lower case for its files.
    std::string file;
    for (wchar_t c : shortName)
        file += static_cast<char>(c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c);
    ::unlink((MailslotDirectory() + "/" + file + ".lock").c_str());
}

std::optional<Plan> MakePlan(const std::vector<std::wstring>& words, std::wstring& error) {
    if (words.empty()) {
        error = L"no command";
        return std::nullopt;
    }
    Plan plan;
    plan.command = words[0];
    const std::wstring& command = plan.command;
    auto wantArguments = [&](std::size_t count) {
        if (words.size() != count + 1) {
            error = L"\"" + command + L"\" takes " + std::to_wstring(count) + L" argument" +
                    (count == 1 ? L"" : L"s");
            return false;
        }
        if (count >= 1) {
            plan.drive = DriveOfWord(words[1]);
            if (plan.drive == L'\0') {
                error = L"not a drive letter: \"" + words[1] + L"\"";
                return false;
            }
        }
        return true;
    };
    // The request that is always answered, and ends the wait.
    auto endWithData = [&](wchar_t letter) {
        plan.requests.push_back({Root(letter), std::wstring(proto::kWordGetData)});
        plan.finalCode = proto::kCodeDefragOnly;
    };

    if (command == L"drives") {
        if (!wantArguments(0))
            return std::nullopt;
        plan.requests.push_back({L"", std::wstring(proto::kWordGetWatchingDrives)});
        plan.requests.push_back({L"", std::wstring(proto::kWordGetAvailableDrives)});
        // Always answered, and without touching any drive's settings ("GetData" would, for its drive).
        plan.requests.push_back({Root(L'A'), std::wstring(proto::kWordFreeSpace)});
        plan.finalCode = proto::kCodeFreeSpace;
    } else if (command == L"watch") {
        if (!wantArguments(1))
            return std::nullopt;
        plan.requests.push_back({std::wstring(1, plan.drive), std::wstring(proto::kWordWatch)});
        plan.requests.push_back({L"", std::wstring(proto::kWordGetWatchingDrives)});
        endWithData(plan.drive);
    } else if (command == L"unwatch") {
        if (!wantArguments(1))
            return std::nullopt;
        // "QUITWATCH" answers with the drives still watched, or not at all when none is left.
        plan.requests.push_back({std::wstring(1, plan.drive), std::wstring(proto::kWordQuitWatch)});
        endWithData(plan.drive);
    } else if (command == L"stats") {
        if (!wantArguments(1))
            return std::nullopt;
        plan.requests.push_back({Root(plan.drive), std::wstring(proto::kWordGetData)});
        plan.requests.push_back({Root(plan.drive), std::wstring(proto::kWordFreeSpace)});
        plan.finalCode = proto::kCodeFreeSpace;
    } else if (command == L"freespace") {
        if (!wantArguments(1))
            return std::nullopt;
        plan.requests.push_back({Root(plan.drive), std::wstring(proto::kWordFreeSpace)});
        plan.finalCode = proto::kCodeFreeSpace;
    } else if (command == L"exclude" || command == L"include") {
        if (!wantArguments(2))
            return std::nullopt;
        plan.path = UpperCase(words[2]);
        const std::wstring argument = Root(plan.drive) + plan.path;
        const std::wstring_view word =
            command == L"exclude" ? proto::kWordAddExclude : proto::kWordDeleteExclude;
        if (ExclusionRefusal(argument, word)) {
            error = L"the path \"" + plan.path + L"\" holds a command word or \";\" of the service";
            return std::nullopt;
        }
        plan.requests.push_back({argument, std::wstring(word)});
        endWithData(plan.drive);
    } else if (command == L"defragonly") {
        if (!wantArguments(2))
            return std::nullopt;
        if (words[2] != L"on" && words[2] != L"off") {
            error = L"\"defragonly\" takes on or off";
            return std::nullopt;
        }
        plan.flag = words[2] == L"on";
        plan.requests.push_back(
            {L"", proto::DefragOnlyRecord::Build(Root(plan.drive), plan.flag ? 1 : 0, L"")});
        endWithData(plan.drive);
    } else {
        error = L"unknown command \"" + command + L"\"";
        return std::nullopt;
    }
    return plan;
}

bool Complete(const Plan& plan, const std::vector<std::wstring>& replies) {
    return !TextsOf(replies, plan.finalCode).empty();
}

Outcome Judge(const Plan& plan, const std::vector<std::wstring>& replies) {
    Outcome outcome;
    if (!Complete(plan, replies)) {
        outcome.exitCode = kExitNoAnswer;
        outcome.lines.push_back(L"kestrel: the service did not answer");
        return outcome;
    }
    outcome.exitCode = kExitOk;
    const std::wstring root = plan.drive ? Root(plan.drive) : L"";
    auto refuse = [&](const std::wstring& line) {
        outcome.lines.push_back(L"kestrel: " + line);
        outcome.exitCode = kExitRefused;
    };
    const std::optional<std::vector<std::wstring>> watched =
        LastDriveList(replies, proto::kCodeWatchedDrives);
    const std::vector<std::wstring> noDrives;
    const std::wstring& command = plan.command;

    if (command == L"drives") {
        const std::optional<std::vector<std::wstring>> available =
            LastDriveList(replies, proto::kCodeAvailableDrives);
        outcome.lines.push_back(L"Watching Drives: " + Joined(watched.value_or(noDrives), L" "));
        outcome.lines.push_back(L"Available Drives: " + Joined(available.value_or(noDrives), L" "));
    } else if (command == L"watch") {
        outcome.lines.push_back(L"Watching Drives: " + Joined(watched.value_or(noDrives), L" "));
        if (!ListsDrive(watched.value_or(noDrives), plan.drive))
            refuse(L"drive " + root + L" is not watched");
    } else if (command == L"unwatch") {
        // No 21 reply at all: nothing is watched any more.
        outcome.lines.push_back(L"Watching Drives: " + Joined(watched.value_or(noDrives), L" "));
        if (ListsDrive(watched.value_or(noDrives), plan.drive))
            refuse(L"drive " + root + L" is still watched");
    } else if (command == L"stats") {
        PanelCore core;  // the dialog's own reading of the replies
        core.Handle(ServiceReply{L"21, " + root});
        core.Handle(RequestData{});
        for (const std::wstring& message : replies)
            core.OnServiceReply(message);
        const PanelState& s = core.State();
        const std::vector<std::wstring> statistics = TextsOf(replies, proto::kCodeStatistics);
        if (statistics.empty() || !proto::SplitStatistics(statistics.back()))
            refuse(L"the statistics reply is incomplete");
        outcome.lines.push_back(s.filesLeftLabel + L": " + s.filesLeft);
        outcome.lines.push_back(s.fragmentsSavedLabel + L": " + s.fragmentsSaved);
        outcome.lines.push_back(s.largestFragmentSavedLabel + L": " + s.largestFragmentSaved);
        outcome.lines.push_back(std::wstring(kLabelPercentFree) + L": " + s.percentFree);
        outcome.lines.push_back(std::wstring(kLabelTotalFilesLeft) + L": " + s.totalFilesLeft);
        outcome.lines.push_back(std::wstring(kLabelTotalFragmentsSaved) + L": " + s.totalFragmentsSaved);
        outcome.lines.push_back(std::wstring(kLabelLifetimeFragmentsSaved) + L": " +
                                s.lifetimeFragmentsSaved);
        outcome.lines.push_back(L"Excluded on " + root + L": " + Joined(s.exclusions.entries, L"; "));
        outcome.lines.push_back(std::wstring(L"Defrag Only: ") + (s.defragOnly ? L"on" : L"off"));
    } else if (command == L"freespace") {
        outcome.lines.push_back(std::wstring(kLabelPercentFree) + L": " +
                                TextsOf(replies, proto::kCodeFreeSpace).back());
    } else if (command == L"exclude" || command == L"include") {
        const std::vector<std::wstring> lists = TextsOf(replies, proto::kCodeExclusions);
        const std::vector<std::wstring> entries =
            lists.empty() ? std::vector<std::wstring>{} : proto::SplitExclusions(lists.back());
        outcome.lines.push_back(L"Excluded on " + root + L": " + Joined(entries, L"; "));
        const bool present = std::find(entries.begin(), entries.end(), plan.path) != entries.end();
        if (command == L"exclude" && !present)
            refuse(L"\"" + plan.path + L"\" is not excluded on " + root);
        if (command == L"include" && present)
            refuse(L"\"" + plan.path + L"\" is still excluded on " + root);
    } else if (command == L"defragonly") {
        const bool on = proto::DefragOnlyChecked(TextsOf(replies, proto::kCodeDefragOnly).back());
        outcome.lines.push_back(L"Defrag Only on " + root + L": " + (on ? L"on" : L"off"));
        if (on != plan.flag)
            refuse(L"the service kept Defrag Only " + std::wstring(on ? L"on" : L"off"));
    }
    return outcome;
}

}  // namespace kestrel::panel::host
