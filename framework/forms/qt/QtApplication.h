// The application seam on Qt: messages are Qt's events, synchronised calls
// are served by Qt's event loop, and uncaught errors go to a modal error box.
#pragma once

#include <string>

#include "framework/Application.h"
#include "framework/forms/Dialogs.h"

namespace forms::qt {

class QtApplication : public framework::Application {
 public:
  // Installs itself as the current application for its lifetime. A QApplication must exist.
  explicit QtApplication(Dialogs& dialogs);
  ~QtApplication() override;
  QtApplication(const QtApplication&) = delete;
  QtApplication& operator=(const QtApplication&) = delete;

  // Runs pending Qt events, then pending synchronised calls.
  void ProcessMessages() override;
  // Shows the text in a modal error box.
  void ShowException(const std::string& message) override;
  // Any thread: queues a run of the synchronised calls on the main thread's
  // event loop, which wakes for it even while idle.
  void WakeMainThread() override;

 private:
  Dialogs& dialogs_;
};

}  // namespace forms::qt
