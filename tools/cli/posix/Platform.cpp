// comflash-cli on Linux and other POSIX systems.
#include "tools/cli/Platform.h"

#include <signal.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#include <fcntl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "serial/device/posix/PortMap.h"
#include "serial/device/posix/TermiosSettings.h"

extern char** environ;

namespace cli {

namespace fs = std::filesystem;

namespace {

std::atomic<int> interrupt_status{0};
static_assert(std::atomic<int>::is_always_lock_free, "set from a signal handler");

void Note(int status) {
  int none = 0;
  interrupt_status.compare_exchange_strong(none, status);
}

// When the first interruption came (CLOCK_MONOTONIC, ns), 0 before it.
std::atomic<long long> first_signal_ns{0};
static_assert(std::atomic<long long>::is_always_lock_free, "set from a signal handler");

long long NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

void OnSignal(int sig) {
  const int saved = errno;
  Note(128 + sig);
  const long long now = NowNs();
  long long first = 0;
  if (first_signal_ns.compare_exchange_strong(first, now)) {
    errno = saved;
    return;
  }
  // A terminal hands Ctrl-C to every upload of a several-port run and the
  // parent hands it on as well: what comes within a moment is the same one.
  if (now - first < 300000000LL) {
    errno = saved;
    return;
  }
  // A second interruption: the operator will not wait out a reply. The
  // lines are put back as they were and let go; the kernel closes them.
  serial::posix::ReleaseLinesAtExit();
  static const char kText[] =
      "comflash-cli: interrupted again: ending at once; the device may hold an incomplete "
      "image\n";
  (void)!write(STDERR_FILENO, kText, sizeof kText - 1);
  _exit(interrupt_status.load());
}

// The number inside a name such as ttyUSB12, for a natural order.
bool NaturalLess(const std::string& a, const std::string& b) {
  const auto split = [](const std::string& s) {
    std::size_t i = s.size();
    while (i > 0 && s[i - 1] >= '0' && s[i - 1] <= '9') --i;
    const long n = i < s.size() ? std::stol(s.substr(i)) : -1;
    return std::make_pair(s.substr(0, i), n);
  };
  return split(a) < split(b);
}

std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string value;
  std::getline(in, value);
  while (!value.empty() && (value.back() == ' ' || value.back() == '\n')) value.pop_back();
  return value;
}

// "USB 0403:6001 FTDI FT232R USB UART, serial A1B2C3" for a USB adapter, from
// the first ancestor of the tty's device that carries USB ids.
std::string UsbDescription(const fs::path& ttyClassEntry) {
  std::error_code ec;
  fs::path dir = fs::canonical(ttyClassEntry / "device", ec);
  if (ec) return {};
  for (; !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
    if (!fs::exists(dir / "idVendor", ec)) continue;
    std::string text =
        "USB " + ReadAttribute(dir / "idVendor") + ":" + ReadAttribute(dir / "idProduct");
    for (const char* name : {"manufacturer", "product"}) {
      const std::string v = ReadAttribute(dir / name);
      if (!v.empty()) text += " " + v;
    }
    const std::string serialNumber = ReadAttribute(dir / "serial");
    if (!serialNumber.empty()) text += ", serial " + serialNumber;
    return text;
  }
  return {};
}

}  // namespace

void InstallInterruptHandlers() {
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // A write to a closed pipe then fails with EPIPE, which the output notes.
  signal(SIGPIPE, SIG_IGN);
}

int InterruptStatus() {
  return interrupt_status.load();
}

void NoteClosedOutput() {
  Note(128 + SIGPIPE);
}

bool StderrIsTerminal() {
  return isatty(STDERR_FILENO) != 0;
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
  return std::vector<std::string>(argv, argv + argc);
}

void ShowUtf8OnConsole() {}  // a terminal takes the bytes as they are

std::string SelfPath() {
  std::error_code ec;
  const auto self = fs::read_symlink("/proc/self/exe", ec);
  return ec ? std::string() : self.string();
}

std::vector<int> RunAll(const std::vector<std::vector<std::string>>& commands) {
  std::vector<pid_t> pids;
  std::vector<int> statuses(commands.size(), -1);
  const pid_t self = getpid();
  for (const auto& command : commands) {
    std::vector<char*> args;
    for (const auto& a : command) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // Closed by a successful exec; a failed one writes its errno into it.
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
      pids.push_back(-1);
      continue;
    }
    pid_t pid = fork();
    if (pid == 0) {
      // Only async-signal-safe calls until exec. An upload ends with this
      // process, however this one ends (even by SIGKILL): SIGTERM stops it
      // at its next safe point and closes its port. A parent that ended
      // before the mark was set is caught by the check after it.
#ifdef __linux__
      prctl(PR_SET_PDEATHSIG, SIGTERM);
#endif
      if (getppid() != self) _exit(128 + SIGTERM);
      execve(args[0], args.data(), environ);
      const int error = errno;
      (void)!write(report[1], &error, sizeof error);
      _exit(127);
    }
    close(report[1]);
    int error = 0;
    ssize_t n;
    while ((n = read(report[0], &error, sizeof error)) < 0 && errno == EINTR) {
    }
    close(report[0]);
    if (pid > 0 && n > 0) {
      // Not started: reaped at once, and counted as such.
      while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
      }
      pid = -1;
    }
    pids.push_back(pid);
  }
  // Each child ends its own upload at its next safe point; the wait polls so
  // that an interruption is handed on even while no child ends.
  int forwarded = 0;
  for (;;) {
    bool running = false;
    for (std::size_t i = 0; i < pids.size(); ++i) {
      if (pids[i] < 0) continue;
      int raw = 0;
      const pid_t r = waitpid(pids[i], &raw, WNOHANG);
      if (r == 0) {
        running = true;
        continue;
      }
      if (r < 0 && errno == EINTR) {
        running = true;
        continue;
      }
      if (r == pids[i]) statuses[i] = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
      pids[i] = -1;
    }
    if (!running) break;
    const int status = InterruptStatus();
    if (status != 0 && status != forwarded && status != 128 + SIGPIPE) {
      for (pid_t pid : pids)
        if (pid > 0) kill(pid, status - 128);
      forwarded = status;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return statuses;
}

std::vector<std::string> SerialPorts() {
  std::vector<std::string> ports;
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("/sys/class/tty", ec)) {
    const std::string name = entry.path().filename().string();
    for (const char* prefix : {"ttyS", "ttyUSB", "ttyACM"})
      if (name.rfind(prefix, 0) == 0 && name.size() > std::char_traits<char>::length(prefix))
        names.push_back(name);
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  for (const auto& name : names) {
    const fs::path entry = fs::path("/sys/class/tty") / name;
    if (name.rfind("ttyS", 0) == 0) {
      // The kernel keeps a ttyS entry for every possible UART; type 0 means
      // no UART answered there.
      const std::string type = ReadAttribute(entry / "type");
      if (type.empty() || type == "0") continue;
      ports.push_back("/dev/" + name + "  serial port");
      continue;
    }
    const std::string usb = UsbDescription(entry);
    ports.push_back("/dev/" + name + (usb.empty() ? std::string() : "  " + usb));
  }

  // The COMn names of the port map.
  const fs::path folder = serial::PortMapFolder();
  std::vector<std::pair<int, std::string>> mapped;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string link = entry.path().filename().string();
    const auto n = serial::ComPortNumber(link);
    if (!n || !fs::is_symlink(entry.path(), ec)) continue;
    const std::string target = fs::read_symlink(entry.path(), ec).string();
    const bool present = fs::exists(entry.path(), ec);
    mapped.emplace_back(*n, "COM" + std::to_string(*n) + "  -> " + target + "  (port map " +
                                folder.string() + (present ? ")" : "; the target is missing)"));
  }
  std::sort(mapped.begin(), mapped.end());
  for (auto& m : mapped) ports.push_back(std::move(m.second));
  return ports;
}

std::string PortIdentity(const std::string& port) {
  std::error_code ec;
  const fs::path path = fs::weakly_canonical(serial::ResolvePortName(port), ec);
  return ec ? serial::ResolvePortName(port) : path.string();
}

std::string PortNotFoundHint(const std::string& port) {
  const std::string path = serial::ResolvePortName(port);
  const auto n = serial::ComPortNumber(port);
  if (!n || port.find('/') != std::string::npos) return "tried " + path;
  const fs::path link = fs::path(serial::PortMapFolder()) / ("com" + std::to_string(*n));
  std::error_code ec;
  if (fs::is_symlink(link, ec))
    return "tried " + path + " -> " + fs::read_symlink(link, ec).string() + ", which is not there";
  return "tried " + path + "; " + port + " is not mapped in the port map folder " +
         serial::PortMapFolder() + " (comflash-cli --list shows the ports present)";
}

}  // namespace cli
