// comflash-cli on Windows.
#include "tools/cli/Platform.h"

#include <io.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

}  // namespace

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
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
  return n > 0 && n < MAX_PATH ? std::string(path, n) : std::string();
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
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    // Suspended until it is in the job, so nothing it starts escapes it.
    if (CreateProcessA(command[0].c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_SUSPENDED,
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
