#include "panel/host/Terminal.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <variant>

#include "common/Utf16.h"
#include "common/protocol/Protocol.h"
#include "panel/ServiceClient.h"
#include "panel/host/OneShot.h"
#include "platform/Time.h"

namespace kestrel::panel::host {

namespace {

std::atomic<bool> g_quitSignal{false};

extern "C" void OnQuitSignal(int) {
    g_quitSignal = true;
}

// The listener hands each reply over (and the drive-list request its DriveListAsked) and waits until the
// main loop has handled it, as the dialog's WM_SERVICE_REPLY is sent rather than posted.
class ReplyHandOver {
  public:
    void HandOver(Input input) {
        std::unique_lock<std::mutex> lock(mutex_);
        queue_.push_back(std::move(input));
        const std::uint64_t mine = ++given_;
        done_.wait(lock, [&] { return handled_ >= mine; });
    }
    // Handles every waiting reply on the calling thread.
    template <class Handler>
    bool Drain(Handler&& handler) {
        std::deque<Input> taken;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            taken.swap(queue_);
        }
        for (const Input& input : taken)
            handler(input);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            handled_ += taken.size();
        }
        done_.notify_all();
        return !taken.empty();
    }

  private:
    std::mutex mutex_;
    std::condition_variable done_;
    std::deque<Input> queue_;
    std::uint64_t given_ = 0;
    std::uint64_t handled_ = 0;
};

// Raw keys from a terminal; restored on destruction.
class RawKeys {
  public:
    RawKeys() {
        if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved_) == 0) {
            termios raw = saved_;
            raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
            raw.c_cc[VMIN] = 1;
            raw.c_cc[VTIME] = 0;
            active_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
        }
    }
    ~RawKeys() {
        if (active_)
            ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
    }
    RawKeys(const RawKeys&) = delete;
    RawKeys& operator=(const RawKeys&) = delete;

  private:
    termios saved_{};
    bool active_ = false;
};

std::uint64_t Now() {
    return timing::NowMs();
}

void Print(const std::wstring& text) {
    const std::string bytes = ToUtf8(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

std::wstring Pad(std::wstring text, std::size_t width) {
    if (text.size() < width)
        text.append(width - text.size(), L' ');
    return text;
}

std::wstring Entry(const ListState& list, std::size_t i) {
    if (i >= list.entries.size())
        return L"";
    return (static_cast<int>(i) == list.selected ? L"> " : L"  ") + list.entries[i];
}

class Terminal {
  public:
    // Each terminal panel answers on a reply mailslot of its own: a second one, or one started beside
    // the Windows panel's name, then gets its own replies.
    explicit Terminal(const TerminalOptions& options)
        : options_(options),
          replyName_(OwnReplyName(L"KestrelPanel")),
          client_([this](const std::wstring& m) { replies_.HandOver(ServiceReply{m}); },
                  ClientNames{std::wstring(protocol::kCommandMailslot), replyName_, replyName_},
                  [this](bool asked) { replies_.HandOver(DriveListAsked{asked}); }) {}

    int Run() {
        RawKeys keys;
        std::signal(SIGINT, OnQuitSignal);
        std::signal(SIGTERM, OnQuitSignal);
        Perform(core_.Handle(Initialize{}));
        Perform(core_.Handle(ShowCommand{}));
        bool input = true;
        while (running_) {
            Step();
            if (!running_)
                break;
            Draw();
            input = input && WaitForKeys();
            if (!input)
                ::usleep(20000);  // standard input has ended: pace the loop in real time
        }
        Draw();
        // The listener ends before the core goes; replies it is handing over meanwhile are dropped.
        client_.Shutdown([this] { replies_.Drain([this](const Input& input) { core_.Handle(input); }); });
        RemoveOwnSlotLock(replyName_);
        if (!options_.plain)
            Print(L"\n");
        return 0;
    }

  private:
    // Everything due: posted inputs, replies, timer ticks, a quit signal.
    void Step() {
        if (g_quitSignal.exchange(false))
            Perform(core_.Handle(ExitCommand{}));
        replies_.Drain([this](const Input& input) { Perform(core_.Handle(input)); });
        const std::uint64_t now = Now();
        for (auto& [id, timer] : timers_) {
            if (running_ && now >= timer.due) {
                timer.due = now + timer.period;
                Perform(core_.Handle(TimerTick{id}));
                break;  // the timer table may have changed
            }
        }
        while (running_ && !posted_.empty()) {
            Input next = std::move(posted_.front());
            posted_.pop_front();
            Perform(core_.Handle(next));
        }
    }

    void Perform(const Effects& effects) {
        for (const Effect& effect : effects) {
            std::visit(
                [this](const auto& e) {
                    using T = std::decay_t<decltype(e)>;
                    if constexpr (std::is_same_v<T, Send>) {
                        client_.SendCommand(e.argument, e.word);
                    } else if constexpr (std::is_same_v<T, SetTimer>) {
                        const std::uint64_t period = timing::Scaled(e.period);
                        timers_[e.id] = Timer{period, Now() + period};
                    } else if constexpr (std::is_same_v<T, KillTimer>) {
                        timers_.erase(e.id);
                    } else if constexpr (std::is_same_v<T, Post>) {
                        posted_.push_back(e.input);
                    } else if constexpr (std::is_same_v<T, LaunchWorkers>) {
                        client_.StartWorkers();
                    } else if constexpr (std::is_same_v<T, StopListener>) {
                        client_.StopListener();
                    } else if constexpr (std::is_same_v<T, CheckQuitEvent>) {
                        if (QuitEventSignalled(std::wstring(kQuitEventName)))
                            posted_.push_back(QuitEventSet{});
                    } else if constexpr (std::is_same_v<T, PostQuit>) {
                        running_ = false;
                    } else if constexpr (std::is_same_v<T, ShowAbout>) {
                        message_ = L"Kestrel Version 2.1.2.0";
                    }
                },
                effect);
        }
    }

    // Waits up to 20 ms for keys and handles them; false once standard input has ended.
    bool WaitForKeys() {
        pollfd fd{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&fd, 1, 20);
        if (ready <= 0)
            return true;
        char bytes[64];
        const ssize_t got = ::read(STDIN_FILENO, bytes, sizeof bytes);
        if (got <= 0)
            return false;
        for (ssize_t i = 0; i < got && running_; ++i)
            Key(static_cast<unsigned char>(bytes[i]));
        return true;
    }

    void Key(unsigned char c) {
        if (typing_) {
            if (c == '\r' || c == '\n') {
                typing_ = false;
                Perform(core_.Handle(ExclusionPathEdited{FromUtf8(typed_)}));
                Perform(core_.Handle(AddExclusionClicked{}));
            } else if (c == 27) {
                typing_ = false;
            } else if (c == 127 || c == 8) {
                // Drop one whole UTF-8 character.
                while (!typed_.empty() && (static_cast<unsigned char>(typed_.back()) & 0xC0) == 0x80)
                    typed_.pop_back();
                if (!typed_.empty())
                    typed_.pop_back();
            } else if (c >= 32) {
                typed_.push_back(static_cast<char>(c));
            }
            return;
        }
        message_.clear();
        const PanelState& s = core_.State();
        auto next = [](const ListState& list) {
            if (list.entries.empty())
                return kNoSelection;
            return list.selected + 1 < static_cast<int>(list.entries.size()) ? list.selected + 1 : 0;
        };
        switch (c) {
            case 'a':
                Perform(core_.Handle(SelectAvailable{next(s.available)}));
                break;
            case 'w':
                Perform(core_.Handle(WatchClicked{}));
                break;
            case 's':
                Perform(core_.Handle(SelectWatching{next(s.watching)}));
                break;
            case 'u':
                Perform(core_.Handle(StopWatchingClicked{}));
                break;
            case 'e':
                Perform(core_.Handle(SelectExclusion{next(s.exclusions)}));
                break;
            case 'x':
                typing_ = true;
                typed_ = ToUtf8(s.exclusionPath);
                break;
            case 'r':
                Perform(core_.Handle(RemoveExclusionClicked{}));
                break;
            case 'd':
                Perform(core_.Handle(DefragOnlyClicked{!s.defragOnly}));
                break;
            case 'g':
                Perform(core_.Handle(RescanClicked{}));
                break;
            case '?':
                Perform(core_.Handle(AboutClicked{}));
                break;
            case 'q':
                Perform(core_.Handle(ExitCommand{}));
                break;
            default:
                break;
        }
    }

    void Draw() {
        const std::wstring prompt = typing_ ? L"Exclude File/Dir: " + FromUtf8(typed_) + L"_" : L"";
        const std::wstring screen = RenderScreen(core_.State(), prompt, message_);
        if (screen == shown_)
            return;
        shown_ = screen;
        Print(options_.plain ? L"\n" + screen : L"\x1b[H\x1b[2J" + screen);
    }

    struct Timer {
        std::uint64_t period = 0;
        std::uint64_t due = 0;
    };

    TerminalOptions options_;
    PanelCore core_;
    ReplyHandOver replies_;
    std::wstring replyName_;
    ServiceClient client_;  // after replies_: its listener is ended before replies_ goes
    std::map<int, Timer> timers_;
    std::deque<Input> posted_;
    bool running_ = true;
    bool typing_ = false;
    std::string typed_;
    std::wstring message_;
    std::wstring shown_;
};

}  // namespace

std::wstring TerminalKeys() {
    return L"  a / w    select the next available drive / watch it\n"
           L"  s / u    select the next watched drive / stop watching it\n"
           L"  e        select the next exclusion (copied into the path)\n"
           L"  x        type a path and exclude it (Enter sends, Esc cancels)\n"
           L"  r        remove the selected exclusion\n"
           L"  d        toggle Defrag Only for the selected watched drive\n"
           L"  g        rescan drives      ?  about      q  quit\n";
}

std::wstring RenderScreen(const PanelState& s, const std::wstring& prompt, const std::wstring& message) {
    std::wstring out;
    auto line = [&out](const std::wstring& text) { out += text + L"\n"; };
    line(std::wstring(L"Kestrel    Service: ") + (s.connected ? L"connected" : L"not connected") +
         (s.waitPending ? L"    (waiting for statistics)" : L""));
    line(L"");
    line(Pad(L"Available Drives", 20) + L"Watching Drives");
    const std::size_t rows =
        std::max<std::size_t>({s.available.entries.size(), s.watching.entries.size(), 1});
    for (std::size_t i = 0; i < rows; ++i)
        line(Pad(Entry(s.available, i), 20) + Entry(s.watching, i));
    line(Pad(L"", 20) + (s.defragOnly ? L"[x] Defrag Only" : L"[ ] Defrag Only"));
    line(L"");
    line(L"Exclude from monitoring.  " + s.exclusionPath);
    line(L"Files in these paths are excluded from monitoring");
    for (std::size_t i = 0; i < s.exclusions.entries.size(); ++i)
        line(Entry(s.exclusions, i));
    line(L"");
    // The three drive fields carry the drive's labels once its statistics were asked for; until then
    // the labels of the dialog's template.
    auto label = [](const std::wstring& text, std::wstring_view fallback) {
        return text.empty() ? std::wstring(fallback) : text;
    };
    line(L"Defrag Stats");
    line(L"  " + Pad(label(s.filesLeftLabel, kLabelFilesLeft), 34) + s.filesLeft);
    line(L"  " + Pad(label(s.fragmentsSavedLabel, kLabelFragmentsSaved), 34) + s.fragmentsSaved);
    line(L"  " + Pad(label(s.largestFragmentSavedLabel, kLabelLargestFragmentSaved), 34) +
         s.largestFragmentSaved);
    line(L"Drive Statistics");
    line(L"  " + Pad(std::wstring(kLabelPercentFree), 34) + s.percentFree);
    line(L"  " + Pad(std::wstring(kLabelTotalFilesLeft), 34) + s.totalFilesLeft);
    line(L"  " + Pad(std::wstring(kLabelTotalFragmentsSaved), 34) + s.totalFragmentsSaved);
    line(L"  " + Pad(std::wstring(kLabelLifetimeFragmentsSaved), 34) + s.lifetimeFragmentsSaved);
    line(L"");
    line(L"keys: a/w available, s/u watched, e/x/r exclusions, d defrag only, g rescan, ? about, q quit");
    if (!prompt.empty())
        line(prompt);
    if (!s.notice.empty())
        line(s.notice);
    if (!message.empty())
        line(message);
    return out;
}

int RunTerminal(const TerminalOptions& options) {
    Terminal terminal(options);
    return terminal.Run();
}

}  // namespace kestrel::panel::host
