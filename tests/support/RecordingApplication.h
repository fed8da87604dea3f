// An application seam for tests: runs the call queue like a console program
// and records the errors it is asked to show instead of printing them.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "framework/Application.h"
#include "framework/MainThreadQueue.h"

namespace testsupport {

class RecordingApplication : public framework::Application {
 public:
  RecordingApplication() { framework::SetApplication(this); }
  ~RecordingApplication() override { framework::SetApplication(nullptr); }

  void ProcessMessages() override {
    ++process_count;
    framework::CheckSynchronize(0);
  }
  void ShowException(const std::string& message) override {
    std::lock_guard lock(m_);
    shown_.push_back(message);
  }
  std::vector<std::string> Shown() {
    std::lock_guard lock(m_);
    return shown_;
  }
  int process_count = 0;

 private:
  std::mutex m_;
  std::vector<std::string> shown_;
};

}  // namespace testsupport
