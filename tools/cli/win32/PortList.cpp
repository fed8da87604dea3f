// comflash-cli --list on Windows: the COM ports with their friendly names
// and hardware ids.
#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "tools/cli/Platform.h"

namespace cli {

namespace {

// SetupAPI and the registry are loaded only to list the ports: linked in,
// they and the libraries they bring made every start of an upload under
// Wine some 10 ms longer, for a listing an upload never asks for.
struct Calls {
  decltype(&::SetupDiGetClassDevsW) SetupDiGetClassDevsW;
  decltype(&::SetupDiEnumDeviceInfo) SetupDiEnumDeviceInfo;
  decltype(&::SetupDiGetDeviceRegistryPropertyW) SetupDiGetDeviceRegistryPropertyW;
  decltype(&::SetupDiOpenDevRegKey) SetupDiOpenDevRegKey;
  decltype(&::SetupDiDestroyDeviceInfoList) SetupDiDestroyDeviceInfoList;
  decltype(&::RegOpenKeyExW) RegOpenKeyExW;
  decltype(&::RegEnumValueW) RegEnumValueW;
  decltype(&::RegQueryValueExW) RegQueryValueExW;
  decltype(&::RegCloseKey) RegCloseKey;
};

template <typename F>
bool Find(HMODULE library, const char* name, F& f) {
  // Through a function pointer without arguments, the one cast of a looked
  // up address that GCC does not take for a mismatch.
  f = reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(library, name)));
  return f != nullptr;
}

// The calls, or null where a library or one of them is missing. The
// libraries stay loaded for the rest of the process.
const Calls* ListingCalls() {
  static const Calls* const calls = []() -> const Calls* {
    const HMODULE setup = LoadLibraryExW(L"setupapi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    const HMODULE registry = LoadLibraryExW(L"advapi32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!setup || !registry) return nullptr;
    static Calls c{};
    const bool all =
        Find(setup, "SetupDiGetClassDevsW", c.SetupDiGetClassDevsW) &&
        Find(setup, "SetupDiEnumDeviceInfo", c.SetupDiEnumDeviceInfo) &&
        Find(setup, "SetupDiGetDeviceRegistryPropertyW", c.SetupDiGetDeviceRegistryPropertyW) &&
        Find(setup, "SetupDiOpenDevRegKey", c.SetupDiOpenDevRegKey) &&
        Find(setup, "SetupDiDestroyDeviceInfoList", c.SetupDiDestroyDeviceInfoList) &&
        Find(registry, "RegOpenKeyExW", c.RegOpenKeyExW) &&
        Find(registry, "RegEnumValueW", c.RegEnumValueW) &&
        Find(registry, "RegQueryValueExW", c.RegQueryValueExW) &&
        Find(registry, "RegCloseKey", c.RegCloseKey);
    return all ? &c : nullptr;
  }();
  return calls;
}

}  // namespace

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
std::wstring DeviceProperty(const Calls& calls, HDEVINFO set, SP_DEVINFO_DATA& device,
                            DWORD property) {
  std::vector<BYTE> buffer(256);
  for (;;) {
    DWORD needed = 0;
    if (calls.SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr, buffer.data(),
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
std::string PortName(const Calls& calls, HDEVINFO set, SP_DEVINFO_DATA& device) {
  HKEY key = calls.SetupDiOpenDevRegKey(set, &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
  if (key == INVALID_HANDLE_VALUE) return {};
  wchar_t name[256] = {};
  DWORD size = sizeof name - sizeof name[0];
  DWORD type = 0;
  const LSTATUS r = calls.RegQueryValueExW(key, L"PortName", nullptr, &type,
                                           reinterpret_cast<BYTE*>(name), &size);
  calls.RegCloseKey(key);
  return r == ERROR_SUCCESS && type == REG_SZ ? Utf8(name) : std::string();
}

// COM port devices as the system's device set gives them: through the COM
// port interface, and the Ports class for drivers that register none.
void DevicesOf(const Calls& calls, const GUID& guid, DWORD flags,
               std::map<int, std::string>& ports) {
  const HDEVINFO set = calls.SetupDiGetClassDevsW(&guid, nullptr, nullptr, DIGCF_PRESENT | flags);
  if (set == INVALID_HANDLE_VALUE) return;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof device;
  for (DWORD i = 0; calls.SetupDiEnumDeviceInfo(set, i, &device); ++i) {
    const std::string name = PortName(calls, set, device);
    const int number = ComNumber(name);
    if (number == 0 || ports.count(number)) continue;
    std::string line = name;
    const std::string friendly = Utf8(DeviceProperty(calls, set, device, SPDRP_FRIENDLYNAME));
    const std::string hardware = Utf8(DeviceProperty(calls, set, device, SPDRP_HARDWAREID));
    if (!friendly.empty()) line += "  " + friendly;
    if (!hardware.empty()) line += "  " + hardware;
    ports[number] = line;
  }
  calls.SetupDiDestroyDeviceInfoList(set);
}

// The serial ports the system reports (HARDWARE\DEVICEMAP\SERIALCOMM):
// device name -> COMn.
void ReportedPorts(const Calls& calls, std::map<int, std::string>& ports) {
  HKEY key = nullptr;
  if (calls.RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ,
                          &key) != ERROR_SUCCESS)
    return;
  for (DWORD i = 0;; ++i) {
    wchar_t device[512];
    wchar_t com[256] = {};
    DWORD deviceSize = 512, comSize = sizeof com - sizeof com[0], type = 0;
    const LSTATUS r = calls.RegEnumValueW(key, i, device, &deviceSize, nullptr, &type,
                                          reinterpret_cast<BYTE*>(com), &comSize);
    if (r == ERROR_NO_MORE_ITEMS) break;
    if (r != ERROR_SUCCESS || type != REG_SZ) continue;
    const std::string name = Utf8(com);
    const int number = ComNumber(name);
    if (number != 0 && !ports.count(number)) ports[number] = name + "  " + Utf8(device);
  }
  calls.RegCloseKey(key);
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
  if (const Calls* calls = ListingCalls()) {
    DevicesOf(*calls, kComPortInterface, DIGCF_DEVICEINTERFACE, ports);
    DevicesOf(*calls, kPortsClass, 0, ports);
    ReportedPorts(*calls, ports);
  }
  DosDevicePorts(ports);
  WinePrefixPorts(ports);
  std::vector<std::string> out;
  for (auto& p : ports) out.push_back(std::move(p.second));
  return out;
}

}  // namespace cli
