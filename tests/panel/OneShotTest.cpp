// The one-shot client's plans and verdicts: which requests a command line becomes, when the answer is
// complete, and what the replies say about the request that itself gets no reply.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "common/mailslot/MailslotEndpoint.h"
#include "panel/host/OneShot.h"

namespace kestrel::panel::host {
namespace {

Plan PlanOf(std::vector<std::wstring> words) {
    std::wstring error;
    std::optional<Plan> plan = MakePlan(words, error);
    EXPECT_TRUE(plan.has_value()) << std::string(error.begin(), error.end());
    return plan.value_or(Plan{});
}

std::wstring Texts(const Plan& plan) {
    std::wstring all;
    for (const PlannedRequest& r : plan.requests)
        all += r.argument + r.word + L"|";
    return all;
}

bool HasLine(const Outcome& outcome, const std::wstring& line) {
    for (const std::wstring& l : outcome.lines) {
        if (l == line)
            return true;
    }
    return false;
}

const std::wstring kData25 = L"25, D0DEFRAGONLY\\\\.\\mailslot\\KestrelCli1";

TEST(OneShotPlan, DriveWordsAndUsageErrors) {
    for (const wchar_t* word : {L"D", L"d", L"D:", L"d:\\"})
        EXPECT_EQ(PlanOf({L"watch", word}).drive, L'D') << word;
    std::wstring error;
    for (std::vector<std::wstring> words : {std::vector<std::wstring>{L"watch", L"7"},
                                            {L"watch", L"DD"},
                                            {L"watch", L"D:/"},
                                            {L"watch"},
                                            {L"stats", L"D", L"E"},
                                            {L"drives", L"D"},
                                            {L"defragonly", L"D", L"yes"},
                                            {L"exclude", L"D"},
                                            {L"frobnicate"},
                                            {}}) {
        error.clear();
        EXPECT_FALSE(MakePlan(words, error).has_value());
        EXPECT_NE(error, L"");
    }
}

TEST(OneShotPlan, EveryUnansweredRequestIsFollowedByOneThatIsAlwaysAnswered) {
    EXPECT_EQ(Texts(PlanOf({L"watch", L"d"})), L"D WATCH|GetWatchingDrives|D:\\GetData|");
    EXPECT_EQ(Texts(PlanOf({L"unwatch", L"D"})), L"D QUITWATCH|D:\\GetData|");
    EXPECT_EQ(Texts(PlanOf({L"defragonly", L"D", L"on"})), L"D1DEFRAGONLY|D:\\GetData|");
    EXPECT_EQ(Texts(PlanOf({L"defragonly", L"D", L"off"})), L"D0DEFRAGONLY|D:\\GetData|");
    // "drives" ends with a request that is always answered and touches no drive's settings.
    EXPECT_EQ(Texts(PlanOf({L"drives"})), L"GetWatchingDrives|GetAvailableDrives|A:\\FreeSpace|");
    EXPECT_EQ(PlanOf({L"drives"}).finalCode, 23);
    // Answered requests need no follow-up: free space ends the wait.
    EXPECT_EQ(Texts(PlanOf({L"stats", L"D"})), L"D:\\GetData|D:\\FreeSpace|");
    EXPECT_EQ(PlanOf({L"stats", L"D"}).finalCode, 23);
}

TEST(OneShotPlan, ExclusionPathsAreUpperCasedAndRefusedWhenTheServiceWouldMisreadThem) {
    EXPECT_EQ(Texts(PlanOf({L"exclude", L"D", L"temp\\\u00e9t\u00e9"})),
              L"D:\\TEMP\\\u00c9T\u00c9 ADDEXCLUDE|D:\\GetData|");
    EXPECT_EQ(Texts(PlanOf({L"include", L"D", L"temp"})), L"D:\\TEMP DELETEEXCLUDE|D:\\GetData|");
    std::wstring error;
    EXPECT_FALSE(MakePlan({L"exclude", L"D", L"stopwatch"}, error).has_value());
    EXPECT_FALSE(MakePlan({L"include", L"D", L"a addexclude b"}, error).has_value());
    EXPECT_FALSE(MakePlan({L"exclude", L"D", L"a;b"}, error).has_value());  // would list as two
}

TEST(OneShotVerdict, NoFinalReplyIsNoAnswer) {
    const Plan watch = PlanOf({L"watch", L"D"});
    EXPECT_FALSE(Complete(watch, {L"21, D:\\", L"22, 0;;;0;;;0;;;0;;;0;;;0;;;"}));
    EXPECT_EQ(Judge(watch, {L"21, D:\\"}).exitCode, kExitNoAnswer);
    EXPECT_EQ(Judge(watch, {}).exitCode, kExitNoAnswer);
}

TEST(OneShotVerdict, WatchAndUnwatchAreJudgedByTheWatchedList) {
    const Plan watch = PlanOf({L"watch", L"D"});
    EXPECT_EQ(Judge(watch, {L"21, C:\\D:\\", L"22, 0;;;0;;;0;;;0;;;0;;;0;;;", kData25}).exitCode, kExitOk);
    // The drive could not be watched: the list comes without it, or not at all.
    EXPECT_EQ(Judge(watch, {L"21, C:\\", kData25}).exitCode, kExitRefused);
    EXPECT_EQ(Judge(watch, {kData25}).exitCode, kExitRefused);

    const Plan unwatch = PlanOf({L"unwatch", L"D"});
    EXPECT_EQ(Judge(unwatch, {kData25}).exitCode, kExitOk);  // nothing left watched: no list at all
    EXPECT_EQ(Judge(unwatch, {L"21, C:\\", kData25}).exitCode, kExitOk);
    EXPECT_EQ(Judge(unwatch, {L"21, C:\\D:\\", kData25}).exitCode, kExitRefused);
}

TEST(OneShotVerdict, ExclusionsAndDefragOnlyAreJudgedByTheDataReplies) {
    const Plan exclude = PlanOf({L"exclude", L"D", L"temp"});
    const Outcome listed = Judge(exclude, {L"22, 0;;;0;;;0;;;0;;;0;;;0;;;", L"24, OLD;TEMP;", kData25});
    EXPECT_EQ(listed.exitCode, kExitOk);
    EXPECT_TRUE(HasLine(listed, L"Excluded on D:\\: OLD; TEMP"));
    // An unwatched drive stores no exclusion: no code-24 reply.
    EXPECT_EQ(Judge(exclude, {L"22, 0;;;0;;;0;;;0;;;0;;;0;;;", kData25}).exitCode, kExitRefused);

    const Plan include = PlanOf({L"include", L"D", L"temp"});
    EXPECT_EQ(Judge(include, {kData25}).exitCode, kExitOk);
    EXPECT_EQ(Judge(include, {L"24, TEMP;", kData25}).exitCode, kExitRefused);

    EXPECT_EQ(Judge(PlanOf({L"defragonly", L"D", L"off"}), {kData25}).exitCode, kExitOk);
    const Outcome kept = Judge(PlanOf({L"defragonly", L"D", L"on"}), {kData25});
    EXPECT_EQ(kept.exitCode, kExitRefused);
    EXPECT_TRUE(HasLine(kept, L"Defrag Only on D:\\: off"));
}

TEST(OneShotVerdict, StatisticsArePrintedWithTheDialogsLabels) {
    const Plan stats = PlanOf({L"stats", L"D"});
    const Outcome outcome =
        Judge(stats, {L"22, 1;;;2;;;3;;;4;;;5;;;6;;;", L"24, TEMP;", kData25, L"23, 41.25"});
    EXPECT_EQ(outcome.exitCode, kExitOk);
    for (const wchar_t* line :
         {L"Files Left to Process on D:\\: 1", L"Fragments Saved on D:\\: 2",
          L"Largest Fragment Saved on D:\\: 3", L"Percent Free w/o MFT Area.: 41.25",
          L"Total Files Left to Process: 4", L"Total Fragments Saved: 5",
          L"Total Lifetime Fragments Saved: 6", L"Excluded on D:\\: TEMP", L"Defrag Only: off"})
        EXPECT_TRUE(HasLine(outcome, line)) << std::string(line, line + wcslen(line));
    // A statistics reply without a whole group is no answer to print.
    EXPECT_EQ(Judge(stats, {L"22, 1;;;2;;;", kData25, L"23, 41.25"}).exitCode, kExitRefused);
}

TEST(OneShotMailslots, OwnNamesTheDirectoryLookedInAndNoLockLeftBehind) {
    // The help says what form PATH takes.
    EXPECT_NE(OneShotUsage().find(L"full path such as D:\\logs"), std::wstring::npos);

    const std::wstring name = OwnReplyName(L"KestrelCli");
    EXPECT_EQ(name, L"\\\\.\\mailslot\\KestrelCli" + std::to_wstring(::getpid()));
    char pattern[] = "/tmp/kestrel-oneshot-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const char* saved = std::getenv("KESTREL_MAILSLOT_DIR");
    const std::string previous = saved ? saved : "";
    ::setenv("KESTREL_MAILSLOT_DIR", (dir + "/").c_str(), 1);
    EXPECT_EQ(MailslotDirectory(), dir);
    {
        MailslotReader reader;
        ASSERT_TRUE(reader.Create(name, false));
    }
    const std::string lock = dir + "/kestrelcli" + std::to_string(::getpid()) + ".lock";
    EXPECT_TRUE(std::filesystem::exists(lock));  // the mailslot layer keeps its lock files
    RemoveOwnSlotLock(name);
    EXPECT_FALSE(std::filesystem::exists(lock));
    EXPECT_TRUE(std::filesystem::is_empty(dir));
    if (saved)
        ::setenv("KESTREL_MAILSLOT_DIR", previous.c_str(), 1);
    else
        ::unsetenv("KESTREL_MAILSLOT_DIR");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace kestrel::panel::host
