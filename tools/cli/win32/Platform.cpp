// comflash-cli on Windows.
#include "tools/cli/Platform.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "framework/win32/WideText.h"
#include "serial/device/win32/Win32SerialApi.h"
#include "tools/cli/win32/ConsoleEvents.h"

// The C runtime's wide command line (msvcrt.dll; what a wmain gets).
extern "C" {
struct StartupInfo {
  int newMode;
};
int __wgetmainargs(int* argc, wchar_t*** argv, wchar_t*** env, int expandWildcards,
                   StartupInfo* info);
}

namespace cli {

namespace {

std::atomic<int> interrupt_status{0};

void Note(int status) {
  int none = 0;
  interrupt_status.compare_exchange_strong(none, status);
}

// Set when the program has written its outcome and is ending.
HANDLE Finished() {
  static const HANDLE finished = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  return finished;
}

void NoteFinished() {
  SetEvent(Finished());
}

BOOL WINAPI OnConsoleEvent(DWORD event) {
  return HandleConsoleEvent(event, kConsoleCloseWaitMs) ? TRUE : FALSE;
}

// One argument quoted as the C runtime reads a command line back.
std::string Quote(const std::string& arg) {
  if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
  std::string out = "\"";
  std::size_t backslashes = 0;
  for (char c : arg) {
    if (c == '\\') {
      ++backslashes;
      continue;
    }
    if (c == '"')
      out.append(backslashes * 2 + 1, '\\');
    else
      out.append(backslashes, '\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, '\\');
  return out + "\"";
}

// The console's output code page as the program found it; 0 while unchanged.
std::atomic<UINT> console_code_page{0};

void RestoreConsoleCodePage() {
  if (const UINT page = console_code_page.exchange(0)) SetConsoleOutputCP(page);
}

bool IsConsole(DWORD stream) {
  DWORD mode = 0;
  const HANDLE h = GetStdHandle(stream);
  return h != nullptr && h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) != 0;
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  // main's argv holds the ANSI code page's idea of the command line: a
  // Cyrillic folder on a Western system (or a Chinese one on a Russian
  // system) has become question marks there. The C runtime's own wide split
  // (the rules Quote writes for) needs no other library: SHELL32's split
  // alone made the program's start under Wine some 20 ms longer.
  int count = 0;
  wchar_t** wide = nullptr;
  wchar_t** environment = nullptr;
  StartupInfo info{};
  if (__wgetmainargs(&count, &wide, &environment, 0, &info) != 0 || wide == nullptr || count <= 0)
    return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(framework::Narrow(wide[i]));
  return args;
}

void ShowUtf8OnConsole() {
  // Only a console: what goes to a file or a pipe is UTF-8 already, and the
  // code page belongs to the console, shared with the shell that started us.
  if (!IsConsole(STD_OUTPUT_HANDLE) && !IsConsole(STD_ERROR_HANDLE)) return;
  const UINT before = GetConsoleOutputCP();
  if (before == 0 || before == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  console_code_page.store(before);
  std::atexit(RestoreConsoleCodePage);
}

bool HandleConsoleEvent(unsigned long event, unsigned long closeWaitMs) {
  int status = 0;
  switch (event) {
    case CTRL_C_EVENT:
      status = 130;
      break;
    case CTRL_BREAK_EVENT:
      status = 143;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      status = 129;
      break;
    default:
      return false;
  }
  Note(status);
  // A reply wait ends now, so the run reaches its safe point at once and
  // sends nothing more.
  if (auto* api = dynamic_cast<serial::Win32SerialApi*>(&serial::PlatformSerialApi()))
    api->EndReceiveWaits();
  if (status == 129) {
    // The system ends the process once this returns (and about 5 s after
    // the event in any case): wait, bounded below that, for the port to be
    // closed and the outcome written; the program's end ends this wait too.
    WaitForSingleObject(Finished(), closeWaitMs);
  }
  return true;
}

void InstallInterruptHandlers() {
  Finished();
  std::atexit(NoteFinished);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

int InterruptStatus() {
  return interrupt_status.load();
}

void NoteClosedOutput() {
  Note(141);
}

bool StderrIsTerminal() {
  return _isatty(_fileno(stderr)) != 0;
}

std::string SelfPath() {
  // Wide, and grown until it fits: the program may sit in a folder of any
  // language, deeper than MAX_PATH.
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (n == 0) return {};
    if (n < path.size()) return framework::Narrow(path.data(), n);
    if (path.size() >= 32768) return {};
    path.resize(path.size() * 2);
  }
}

std::vector<int> RunAll(const std::vector<std::vector<std::string>>& commands) {
  // The uploads end with this process, however it ends: the system closes
  // the job's last handle with it, and the job then ends what is left in it.
  struct Job {
    Job() : handle(CreateJobObjectA(nullptr, nullptr)) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      if (handle && !SetInformationJobObject(handle, JobObjectExtendedLimitInformation, &limits,
                                             sizeof limits)) {
        CloseHandle(handle);
        handle = nullptr;
      }
    }
    ~Job() {
      if (handle) CloseHandle(handle);
    }
    Job(const Job&) = delete;
    Job& operator=(const Job&) = delete;
    HANDLE handle;
  } job;
  std::vector<HANDLE> processes;
  std::vector<int> statuses(commands.size(), -1);
  for (const auto& command : commands) {
    std::string line;
    for (const auto& a : command) line += (line.empty() ? "" : " ") + Quote(a);
    // Wide: the paths in it may be of any language.
    const std::wstring program = framework::Widen(command[0]);
    std::wstring wideLine = framework::Widen(line);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Suspended until it is in the job, so nothing it starts escapes it.
    if (CreateProcessW(program.c_str(), wideLine.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
                       nullptr, nullptr, &si, &pi)) {
      // Without a job (the system refused one) the upload still runs.
      if (job.handle) AssignProcessToJobObject(job.handle, pi.hProcess);
      ResumeThread(pi.hThread);
      CloseHandle(pi.hThread);
      processes.push_back(pi.hProcess);
    } else {
      processes.push_back(nullptr);
    }
  }
  // Ctrl-C and Ctrl-Break reach every process of the console by themselves.
  for (std::size_t i = 0; i < processes.size(); ++i) {
    if (!processes[i]) continue;
    while (WaitForSingleObject(processes[i], 100) == WAIT_TIMEOUT) {
    }
    DWORD code = 0;
    if (GetExitCodeProcess(processes[i], &code)) statuses[i] = static_cast<int>(code);
    CloseHandle(processes[i]);
  }
  return statuses;
}

std::string PortNotFoundHint(const std::string& port) {
  return "tried \\\\.\\" + port + " (comflash-cli --list shows the COM ports the system reports)";
}

}  // namespace cli
