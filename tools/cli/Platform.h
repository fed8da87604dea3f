// What comflash-cli needs of the operating system; one implementation per
// platform (posix/, win32/).
#pragma once

#include <string>
#include <vector>

namespace cli {

// SIGINT, SIGTERM and SIGHUP (on Windows the console's control events) only
// note the interruption: the upload stops at its next safe point and closes
// the port. A closed output pipe no longer ends the program on the spot.
void InstallInterruptHandlers();

// 0 while nothing interrupted the program; otherwise the exit status the
// first interruption asks for: 130 SIGINT, 143 SIGTERM, 129 SIGHUP, 141 a
// closed standard output.
int InterruptStatus();

// Standard output went away: an interruption, unless another came first.
void NoteClosedOutput();

bool StderrIsTerminal();

// The command line as UTF-8 text. On Windows it is read as UTF-16, so a file
// name outside the ANSI code page arrives whole; elsewhere it is argv.
std::vector<std::string> Utf8Arguments(int argc, char** argv);

// A console on the standard streams shows the program's UTF-8 text for the
// rest of the run (Windows: its output code page, put back at exit). Text
// going to a file or a pipe is UTF-8 either way.
void ShowUtf8OnConsole();

// This program's own path, to start it once per port of a multi-port run.
std::string SelfPath();

// Runs the command lines at once on this program's standard streams, hands
// every interruption on to them, and waits for all. They end with this
// process however it ends (Linux: SIGTERM, so each closes its port; Windows:
// a job that ends them when its handle closes). Returns their exit
// statuses in order: 128 + signal for one a signal ended, -1 for one that
// could not be started.
std::vector<int> RunAll(const std::vector<std::vector<std::string>>& commands);

// What a port name stands for, to tell two names of one port apart from two
// ports: COM3 and com3, and on Linux also the path COM3 maps to, give the
// same text.
std::string PortIdentity(const std::string& port);

// The serial ports present, one description per entry.
std::vector<std::string> SerialPorts();

// Said beside the error when a port is not there: where it was looked for.
std::string PortNotFoundHint(const std::string& port);

}  // namespace cli
