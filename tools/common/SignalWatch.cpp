#include "tools/common/SignalWatch.h"

#include <sys/signalfd.h>
#include <unistd.h>

#include "tools/common/SystemError.h"

namespace tools {

SignalWatch::SignalWatch(std::initializer_list<int> signals, AtEnd at_end) : at_end_(at_end) {
  sigset_t set;
  sigemptyset(&set);
  for (const int sig : signals) sigaddset(&set, sig);
  if (::sigprocmask(SIG_BLOCK, &set, &previous_) != 0) throw SystemError("sigprocmask");
  fd_ = framework::UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
  if (!fd_) {
    const auto error = SystemError("signalfd");
    ::sigprocmask(SIG_SETMASK, &previous_, nullptr);
    throw error;
  }
}

SignalWatch::~SignalWatch() {
  fd_.Reset();
  if (at_end_ == AtEnd::kRestoreMask) ::sigprocmask(SIG_SETMASK, &previous_, nullptr);
}

std::vector<int> SignalWatch::Take() {
  std::vector<int> out;
  signalfd_siginfo info;
  while (::read(fd_.Get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info))
    out.push_back(static_cast<int>(info.ssi_signo));
  return out;
}

}  // namespace tools
