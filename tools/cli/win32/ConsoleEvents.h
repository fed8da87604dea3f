// comflash-cli's answer to the console's control events on Windows.
#pragma once

namespace cli {

// How long the handler of a console close, log-off or shut-down waits for the
// run to close the port and write its outcome: below the 5 s the system
// gives it before it ends the process.
inline constexpr unsigned long kConsoleCloseWaitMs = 4000;

// Notes the interruption with its exit status (Ctrl-C 130, Ctrl-Break 143,
// close, log-off and shut-down 129) and ends every reply wait at once. For
// the three that end the process once it returns, waits up to closeWaitMs
// for the program to finish. False for an event it does not handle.
bool HandleConsoleEvent(unsigned long event, unsigned long closeWaitMs);

}  // namespace cli
