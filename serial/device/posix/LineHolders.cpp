#include "serial/device/posix/LineHolders.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "framework/posix/UniqueFd.h"

namespace serial::posix {
namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using Dir = std::unique_ptr<DIR, DirCloser>;

std::string LinkTarget(int dir, const char* name) {
  char buf[4096];
  const ssize_t n = ::readlinkat(dir, name, buf, sizeof buf - 1);
  return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

bool IsNumber(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

// The pty index a master descriptor serves, from its fdinfo; -1 if none.
long MasterIndex(const std::string& pid, const char* fd) {
  framework::UniqueFd info(
      ::open(("/proc/" + pid + "/fdinfo/" + fd).c_str(), O_RDONLY | O_CLOEXEC));
  if (!info) return -1;
  char buf[1024];
  const ssize_t n = ::read(info.Get(), buf, sizeof buf - 1);
  if (n <= 0) return -1;
  buf[n] = '\0';
  const char* at = std::strstr(buf, "tty-index:");
  return at != nullptr ? std::strtol(at + std::strlen("tty-index:"), nullptr, 10) : -1;
}

}  // namespace

bool HeldByAnotherProcess(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return false;
  const std::string self = LinkTarget(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str());
  if (self.empty()) return false;  // no /proc: nothing can be seen
  // Unix98 pseudo-terminal slaves have majors 136 to 143.
  const unsigned major = ::major(st.st_rdev);
  const long ptyIndex = major >= 136 && major <= 143
                            ? static_cast<long>((major - 136) * 256 + ::minor(st.st_rdev))
                            : -1;
  const std::string me = std::to_string(::getpid());

  Dir proc(::opendir("/proc"));
  if (!proc) return false;
  while (const dirent* p = ::readdir(proc.get())) {
    if (!IsNumber(p->d_name) || me == p->d_name) continue;
    const std::string pid = p->d_name;
    Dir fds(::opendir(("/proc/" + pid + "/fd").c_str()));
    if (!fds) continue;  // gone, or not ours to look into
    bool holds = false;
    bool device = false;
    const int dir = ::dirfd(fds.get());
    while (const dirent* f = ::readdir(fds.get())) {
      if (!IsNumber(f->d_name)) continue;
      const std::string target = LinkTarget(dir, f->d_name);
      if (target == self) {
        holds = true;
      } else if (ptyIndex >= 0 && (target == "/dev/ptmx" || target == "/dev/pts/ptmx") &&
                 MasterIndex(pid, f->d_name) == ptyIndex) {
        device = true;
      }
    }
    if (holds && !device) return true;
  }
  return false;
}

}  // namespace serial::posix
