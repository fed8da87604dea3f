#include "tests/support/Pty.h"

#include "framework/Clock.h"

#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "serial/device/posix/PortMap.h"
#include "tools/common/SystemError.h"

namespace testsupport {

using tools::SystemError;

void Pty::Send(const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = write(MasterFd(), bytes.data() + done, bytes.size() - done);
    if (r < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      throw SystemError("write master");
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
    pollfd p{MasterFd(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
    std::uint8_t buf[4096];
    const ssize_t r = read(MasterFd(), buf, std::min(sizeof buf, n - out.size()));
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

std::vector<std::uint8_t> Pty::Drain(std::chrono::milliseconds quiet) {
  std::vector<std::uint8_t> out;
  for (;;) {
    pollfd p{MasterFd(), POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(quiet.count())) <= 0) break;
    std::uint8_t buf[4096];
    const ssize_t r = read(MasterFd(), buf, sizeof buf);
    if (r <= 0) break;
    out.insert(out.end(), buf, buf + r);
  }
  return out;
}

ScopedPortMap::ScopedPortMap() {
  char templ[] = "/tmp/comflash-ports-XXXXXX";
  if (!mkdtemp(templ)) throw SystemError("mkdtemp");
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
