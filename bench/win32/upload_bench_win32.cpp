// Paced upload timing on Windows (or under Wine): the least a Win32 program
// can do on this link against comflash-cli.exe, each on a device of its own.
//
//   upload_bench_win32 bare COMn          the bare host: blocking WriteFile of
//                                         each request, ReadFile of the 3-byte
//                                         reply with a 5 s total timeout
//   upload_bench_win32 cli COMn CLI.exe   comflash-cli.exe as a child, timed
//                                         from its start to its final log line
//   upload_bench_win32 cli COMn THIS.exe  this program as that child, which
//                                         prints the final line at once: what
//                                         starting a program costs under Wine
//   upload_bench_win32 cli COMn THIS.exe --bare
//                                         this program as that child, making
//                                         the bare upload and then printing
//                                         the final line: the bare host timed
//                                         as the CLI is, from its start
//
// Each prints one line: "wall SECONDS cpu SECONDS status N". CPU is the
// process's own user + kernel time (for the CLI, the child's, to its exit).
// bench/wine_bench.sh runs both in turn and prints the ratio.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "bench/ZeroUpload.h"

namespace {

// How the CLI's final log line begins.
constexpr const char* kFinalLine =
    "\xD0\x9F\xD1\x80\xD0\xBE\xD1\x86\xD0\xB5\xD1\x81\xD1\x81";  // "Процесс"

double Now() {
  static const double period = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return 1.0 / static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER t;
  QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) * period;
}

double CpuSeconds(HANDLE process) {
  FILETIME created, ended, kernel, user;
  if (!GetProcessTimes(process, &created, &ended, &kernel, &user)) return -1;
  auto s = [](const FILETIME& t) {
    return static_cast<double>((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) /
           1e7;
  };
  return s(kernel) + s(user);
}

int Bare(const std::string& port) {
  const HANDLE h = CreateFileA(("\\\\.\\" + port).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot open %s (%lu)\n", port.c_str(), GetLastError());
    return 3;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  GetCommState(h, &dcb);
  dcb.BaudRate = 115200;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fOutX = dcb.fInX = FALSE;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  SetCommState(h, &dcb);
  COMMTIMEOUTS t{0, 0, 5000, 0, 0};  // a read waits for its bytes, 5 s at most
  SetCommTimeouts(h, &t);
  PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);

  unsigned char reply[3];
  int failures = 0;
  auto exchange = [&](const unsigned char* frame, DWORD n) {
    DWORD done = 0;
    WriteFile(h, frame, n, &done, nullptr);
    DWORD got = 0;
    if (!ReadFile(h, reply, 3, &got, nullptr) || got != 3 || reply[0] != 0x55) ++failures;
  };
  const double cpu0 = CpuSeconds(GetCurrentProcess());
  const double t0 = Now();
  bench::SendZeroImage(exchange);
  const double wall = Now() - t0;
  const double cpu = CpuSeconds(GetCurrentProcess()) - cpu0;
  CloseHandle(h);
  std::printf("wall %.4f cpu %.4f status %d\n", wall, cpu, failures);
  return failures == 0 ? 0 : 1;
}

// The zero image as Intel HEX, blocks 3 to 125.
std::string WriteZeroHex() {
  char dir[MAX_PATH];
  GetTempPathA(MAX_PATH, dir);
  const std::string path = std::string(dir) + "comflash-bench-zero.hex";
  bench::WriteZeroHex(path);
  return path;
}

int Cli(const std::string& port, const std::string& cli, const std::string& extra) {
  const std::string hex = WriteZeroHex();
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  CreatePipe(&readEnd, &writeEnd, &inherit, 0);
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  const HANDLE nul =
      CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
  STARTUPINFOA si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = nul;
  si.hStdOutput = writeEnd;
  si.hStdError = nul;
  std::string line = "\"" + cli + "\" -q -p " + port + " \"" + hex + "\"" + extra;
  PROCESS_INFORMATION pi{};
  const double t0 = Now();
  if (!CreateProcessA(cli.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si,
                      &pi)) {
    std::fprintf(stderr, "cannot start %s (%lu)\n", cli.c_str(), GetLastError());
    return 3;
  }
  CloseHandle(writeEnd);
  CloseHandle(nul);
  const std::string finalLine = kFinalLine;
  std::string text;
  double finalAt = 0;
  char buf[4096];
  DWORD n = 0;
  while (ReadFile(readEnd, buf, sizeof buf, &n, nullptr) && n > 0) {
    text.append(buf, n);
    if (finalAt == 0 && text.find(finalLine) != std::string::npos &&
        text.find('\n', text.find(finalLine)) != std::string::npos)
      finalAt = Now();
  }
  WaitForSingleObject(pi.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  const double cpu = CpuSeconds(pi.hProcess);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  CloseHandle(readEnd);
  DeleteFileA(hex.c_str());
  const double wall = (finalAt > 0 ? finalAt : Now()) - t0;
  std::printf("wall %.4f cpu %.4f status %lu\n", wall, cpu, finalAt > 0 ? code : 99ul);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Started in the CLI's place ("-q -p COMn FILE [--bare]"): the final line,
  // at once or after the bare upload.
  if (argc > 1 && std::strcmp(argv[1], "-q") == 0) {
    const int status = argc > 5 && std::strcmp(argv[5], "--bare") == 0 ? Bare(argv[3]) : 0;
    std::printf("%s\n", kFinalLine);
    std::fflush(stdout);
    return status;
  }
  const std::string mode = argc > 2 ? argv[1] : "";
  if (mode == "bare") return Bare(argv[2]);
  if (mode == "cli" && argc > 3)
    return Cli(argv[2], argv[3], argc > 4 ? std::string(" ") + argv[4] : std::string());
  std::fprintf(stderr, "usage: upload_bench_win32 bare COMn | cli COMn PROGRAM.exe [--bare]\n");
  return 64;
}
