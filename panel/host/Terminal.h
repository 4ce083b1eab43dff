// The interactive form of the host front end: the panel's dialog drawn in the terminal with plain ANSI
// redraws, driven by single keys, talking to the service over the host mailslots.
#pragma once

#include <string>

#include "panel/PanelCore.h"

namespace kestrel::panel::host {

struct TerminalOptions {
    bool plain = false;  // no escape codes: each changed screen is printed in full after a blank line
};

// Runs until the user quits (key q, Ctrl-C, SIGTERM); returns the exit code.
int RunTerminal(const TerminalOptions& options);

// The screen for a state: both drive lists, the Defrag Only box, the exclusion path and list, the seven
// statistics with the dialog's labels, and the connected line in place of the tray icon.
std::wstring RenderScreen(const PanelState& state, const std::wstring& prompt, const std::wstring& message);

// The keys, for the help text.
std::wstring TerminalKeys();

}  // namespace kestrel::panel::host
