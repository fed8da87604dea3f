#include "tools/common/FileOutput.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

#include "framework/posix/UniqueFd.h"
#include "tools/common/SystemError.h"

namespace tools {

void WriteAll(int fd, std::span<const std::uint8_t> bytes, const std::string& what) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) throw SystemError("writing " + what);
    done += static_cast<std::size_t>(r);
  }
}

std::size_t WriteWhatFits(int fd, std::span<const std::uint8_t> bytes, const std::string& what) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t r = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    if (r < 0) throw SystemError("writing " + what);
    done += static_cast<std::size_t>(r);
  }
  return done;
}

void WriteFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes) {
  const std::string temp = path + ".tmp";
  framework::UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!fd) throw SystemError("creating " + temp);
  WriteAll(fd.Get(), bytes, temp);
  if (::close(fd.Release()) != 0) throw SystemError("writing " + temp);
  if (std::rename(temp.c_str(), path.c_str()) != 0) throw SystemError("renaming " + temp);
}

}  // namespace tools
