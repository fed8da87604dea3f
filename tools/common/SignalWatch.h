// Signals turned into a descriptor to poll, so a program's one loop sees them
// beside its line.
#pragma once

#include <signal.h>

#include <initializer_list>
#include <vector>

#include "framework/posix/UniqueFd.h"

namespace tools {

class SignalWatch {
 public:
  // What the end of the watch does with the signals it blocked.
  enum class AtEnd {
    kRestoreMask,  // unblocks them again
    // Keeps them blocked to the end of the program: a second one while it
    // finishes must not cut its last work short or change its exit status.
    kKeepBlocked,
  };

  SignalWatch(std::initializer_list<int> signals, AtEnd at_end);  // throws std::runtime_error
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;
  ~SignalWatch();

  int Fd() const { return fd_.Get(); }
  // The signals that came since the last call, in order.
  std::vector<int> Take();

 private:
  framework::UniqueFd fd_;
  sigset_t previous_;
  AtEnd at_end_;
};

}  // namespace tools
