// comflash-cli on Windows.
#include "tools/cli/Platform.h"

#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "framework/win32/WideText.h"

namespace cli {

namespace {

std::atomic<int> interrupt_status{0};

void Note(int status) {
  int none = 0;
  interrupt_status.compare_exchange_strong(none, status);
}

// Runs on a thread of its own that the system starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
      Note(130);
      return TRUE;
    case CTRL_BREAK_EVENT:
      Note(143);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      Note(129);
      // The system ends the process once this returns: give the upload a
      // moment to reach its safe point and close the port.
      Sleep(4000);
      return TRUE;
    default:
      return FALSE;
  }
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
  // system) has become question marks there.
  int count = 0;
  const std::unique_ptr<LPWSTR, decltype(&LocalFree)> wide(
      CommandLineToArgvW(GetCommandLineW(), &count), &LocalFree);
  if (!wide || count <= 0) return std::vector<std::string>(argv, argv + argc);
  std::vector<std::string> args;
  for (int i = 0; i < count; ++i) args.push_back(framework::Narrow(wide.get()[i]));
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

void InstallInterruptHandlers() {
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

std::vector<std::string> SerialPorts() {
  // Every DOS device name, as a list of strings ending in an empty one.
  std::vector<char> names(65536);
  const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
  std::vector<std::pair<int, std::string>> ports;
  for (const char* p = names.data(); n > 0 && *p; p += std::strlen(p) + 1) {
    const std::string name = p;
    if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) continue;
    const int number = std::atoi(name.c_str() + 3);
    if (number <= 0) continue;
    char target[1024];
    const DWORD t = QueryDosDeviceA(name.c_str(), target, sizeof target);
    ports.emplace_back(number, name + (t > 0 ? std::string("  ") + target : std::string()));
  }
  std::sort(ports.begin(), ports.end());
  std::vector<std::string> out;
  for (auto& p : ports) out.push_back(std::move(p.second));
  return out;
}

std::string PortNotFoundHint(const std::string& port) {
  return "tried \\\\.\\" + port + " (comflash-cli --list shows the COM ports the system reports)";
}

}  // namespace cli
