#include "tests/support/Pty.h"

#include "framework/Clock.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "serial/device/posix/PortMap.h"

namespace testsupport {

namespace {
std::runtime_error SysError(const std::string& what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}
}  // namespace

Pty::Pty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (master_ < 0) throw SysError("posix_openpt");
  if (grantpt(master_) != 0 || unlockpt(master_) != 0) throw SysError("grantpt/unlockpt");
  char name[128];
  if (ptsname_r(master_, name, sizeof name) != 0) throw SysError("ptsname_r");
  slave_path_ = name;
  slave_keep_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (slave_keep_ < 0) throw SysError("open slave");
  termios t{};
  tcgetattr(slave_keep_, &t);
  cfmakeraw(&t);
  tcsetattr(slave_keep_, TCSANOW, &t);
  // The master side is raw too, so bytes pass 8-bit clean both ways.
  tcgetattr(master_, &t);
  cfmakeraw(&t);
  tcsetattr(master_, TCSANOW, &t);
}

Pty::~Pty() {
  if (slave_keep_ >= 0) close(slave_keep_);
  if (master_ >= 0) close(master_);
}

void Pty::Send(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = write(master_, bytes.data() + done, bytes.size() - done);
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw SysError("write master");
    }
    done += static_cast<std::size_t>(r);
  }
}

void Pty::Send(const std::string& bytes) {
  Send(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> Pty::Receive(std::size_t n, std::chrono::milliseconds timeout) {
  std::vector<std::uint8_t> out;
  const framework::Deadline deadline(timeout);
  while (out.size() < n) {
    const std::int64_t left = deadline.RemainingMs();
    if (left <= 0) break;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    std::uint8_t buf[4096];
    const ssize_t r = read(master_, buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

std::vector<std::uint8_t> Pty::Drain(std::chrono::milliseconds quiet) {
  std::vector<std::uint8_t> out;
  for (;;) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
    std::uint8_t buf[4096];
    const ssize_t r = read(master_, buf, sizeof buf);
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

void Pty::HangUp() {
  if (slave_keep_ >= 0) close(slave_keep_);
  slave_keep_ = -1;
  if (master_ >= 0) close(master_);
  master_ = -1;
}

void Pty::ReleaseSlave() {
  if (slave_keep_ >= 0) close(slave_keep_);
  slave_keep_ = -1;
}

ScopedPortMap::ScopedPortMap() {
  char templ[] = "/tmp/comflash-ports-XXXXXX";
  if (!mkdtemp(templ)) throw SysError("mkdtemp");
  folder_ = templ;
  if (const char* prev = std::getenv("COMFLASH_PORTS")) {
    had_previous_ = true;
    previous_ = prev;
  }
  setenv("COMFLASH_PORTS", folder_.c_str(), 1);
}

ScopedPortMap::~ScopedPortMap() {
  std::error_code ec;
  std::filesystem::remove_all(folder_, ec);
  if (had_previous_)
    setenv("COMFLASH_PORTS", previous_.c_str(), 1);
  else
    unsetenv("COMFLASH_PORTS");
}

void ScopedPortMap::Map(const std::string& comName, const std::string& target) {
  serial::MapComPort(comName, target);
}

}  // namespace testsupport
