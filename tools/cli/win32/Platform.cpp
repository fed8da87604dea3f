// comflash-cli on Windows.
#include "tools/cli/Platform.h"

#include <io.h>
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>
#include <shellapi.h>

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

namespace {

// The COM port device interface and the Ports device class.
constexpr GUID kComPortInterface = {
    0x86e0d1e0, 0x8089, 0x11d0, {0x9c, 0xe4, 0x08, 0x00, 0x3e, 0x30, 0x1f, 0x73}};
constexpr GUID kPortsClass = {
    0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

std::string Utf8(const std::wstring& w) {
  if (w.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), nullptr, 0,
                                    nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr,
                      nullptr);
  return out;
}

// The number of "COMn", or 0 for any other name.
int ComNumber(const std::string& name) {
  if (name.size() < 4 || _strnicmp(name.c_str(), "COM", 3) != 0) return 0;
  for (std::size_t i = 3; i < name.size(); ++i)
    if (name[i] < '0' || name[i] > '9') return 0;
  return std::atoi(name.c_str() + 3);
}

// A text property of a device (the first string of a list), read into a
// buffer that grows to what the property needs.
std::wstring DeviceProperty(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  std::vector<BYTE> buffer(256);
  for (;;) {
    DWORD needed = 0;
    if (SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, buffer.data(),
                                          static_cast<DWORD>(buffer.size()), &needed))
      break;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer.size()) return {};
    buffer.resize(needed);
  }
  buffer.push_back(0);
  buffer.push_back(0);
  return std::wstring(reinterpret_cast<const wchar_t*>(buffer.data()));
}

// The "PortName" the Ports class keeps in a device's key ("COM3").
std::string PortName(HDEVINFO set, SP_DEVINFO_DATA& device) {
  HKEY key = SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t name[256] = {};
  DWORD size = sizeof name - sizeof name[0];
  DWORD type = 0;
  const LSTATUS r =
      RegQueryValueExW(key, L"PortName", nullptr, &type, reinterpret_cast<BYTE*>(name), &size);
  RegCloseKey(key);
  return r == ERROR_SUCCESS && type == REG_SZ ? Utf8(name) : std::string();
}

// COM port devices as the system's device set gives them: through the COM
// port interface, and the Ports class for drivers that register none.
void DevicesOf(const GUID& guid, DWORD flags, std::map<int, std::string>& ports) {
  const HDEVINFO set = SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | flags);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    const std::string name = PortName(set, device);
    const int number = ComNumber(name);
    if (number == 0 || ports.count(number)) continue;
    std::string line = name;
    const std::string friendly = Utf8(DeviceProperty(set, device, SPDRP_FRIENDLYNAME));
    const std::string hardware = Utf8(DeviceProperty(set, device, SPDRP_HARDWAREID));
    if (!friendly.empty()) line += "  " + friendly;
    if (!hardware.empty()) line += "  " + hardware;
    ports[number] = line;
  }
  SetupDiDestroyDeviceInfoList(set);
}

// The serial ports the system reports (HARDWARE\DEVICEMAP\SERIALCOMM):
// device name -> COMn.
void ReportedPorts(std::map<int, std::string>& ports) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
      ERROR_SUCCESS)
    return;
  for (DWORD i = 0;; ++i) {
    wchar_t device[512];
    wchar_t com[256] = {};
    DWORD deviceSize = 512, comSize = sizeof com - sizeof com[0], type = 0;
    const LSTATUS r = RegEnumValueW(key, i, device, &deviceSize, nullptr, &type,
                                    reinterpret_cast<BYTE*>(com), &comSize);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    const std::string name = Utf8(com);
    const int number = ComNumber(name);
    if (number != 0 && !ports.count(number)) ports[number] = name + "  " + Utf8(device);
  }
  RegCloseKey(key);
}

// Every DOS device name, as a list of strings ending in an empty one, in a
// buffer that grows until the list fits.
std::vector<char> DosDeviceNames() {
  std::vector<char> names(16384);
  for (;;) {
    if (QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size())) != 0) return names;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= (64u << 20)) return {};
    names.resize(names.size() * 2);
  }
}

// What a DOS device name names, in a buffer that grows; false if the name
// is not a device.
bool DosDeviceTarget(const std::string& name, std::string& target) {
  std::vector<char> buffer(1024);
  for (;;) {
    const DWORD t = QueryDosDeviceA(name.c_str(), buffer.data(), static_cast<DWORD>(buffer.size()));
    if (t > 0) {
      target = buffer.data();
      return true;
    }
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || buffer.size() >= (1u << 20)) return false;
    buffer.resize(buffer.size() * 2);
  }
}

// COM names among the DOS devices, with what each names. Wine lists only
// the devices it has already looked up, not the ports its prefix maps
// (dosdevices/comN), so each COM number is also asked for by name.
void DosDevicePorts(std::map<int, std::string>& ports) {
  const std::vector<char> names = DosDeviceNames();
  std::vector<std::string> candidates;
  for (const char* p = names.data(); !names.empty() && *p; p += std::strlen(p) + 1)
    candidates.emplace_back(p);
  for (int n = 1; n <= 256; ++n) candidates.push_back("COM" + std::to_string(n));
  for (const auto& name : candidates) {
    const int number = ComNumber(name);
    if (number == 0 || ports.count(number)) continue;
    std::string target;
    if (DosDeviceTarget(name, target)) ports[number] = name + "  " + target;
  }
}

// Under Wine, the ports its prefix maps (dosdevices/comN, links to Unix
// devices): Wine's device list holds only those it has already looked up.
void WinePrefixPorts(std::map<int, std::string>& ports) {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  if (!ntdll || !GetProcAddress(ntdll, "wine_get_version")) return;
  char value[MAX_PATH];
  std::string prefix;
  if (const DWORD n = GetEnvironmentVariableA("WINEPREFIX", value, sizeof value);
      n > 0 && n < sizeof value)
    prefix = value;
  else if (const DWORD h = GetEnvironmentVariableA("HOME", value, sizeof value);
           h > 0 && h < sizeof value)
    prefix = std::string(value) + "/.wine";
  if (prefix.empty()) return;
  std::replace(prefix.begin(), prefix.end(), '/', '\\');
  const std::string folder = "Z:" + prefix + "\\dosdevices\\";
  WIN32_FIND_DATAA found;
  const HANDLE search = FindFirstFileA((folder + "com*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    std::string name = found.cFileName;
    std::transform(name.begin(), name.end(), name.begin(), [](char c) {
      return static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    });
    const int number = ComNumber(name);
    if (number != 0 && !ports.count(number))
      ports[number] = name + "  (Wine prefix, " + folder + found.cFileName + ")";
  } while (FindNextFileA(search, &found));
  FindClose(search);
}

}  // namespace

std::vector<std::string> SerialPorts() {
  std::map<int, std::string> ports;
  DevicesOf(kComPortInterface, DIGCF_DEVICEINTERFACE, ports);
  DevicesOf(kPortsClass, 0, ports);
  ReportedPorts(ports);
  DosDevicePorts(ports);
  WinePrefixPorts(ports);
  std::vector<std::string> out;
  for (auto& p : ports) out.push_back(std::move(p.second));
  return out;
}

std::string PortNotFoundHint(const std::string& port) {
  return "tried \\\\.\\" + port + " (comflash-cli --list shows the COM ports the system reports)";
}

}  // namespace cli
