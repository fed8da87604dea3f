// The application seam on Qt: messages are Qt's events, synchronised calls
// are served by Qt's event loop, and uncaught errors go to a modal error box.
#pragma once

#include <exception>
#include <string>
#include <utility>

#include "app/gui/Dialogs.h"
#include "framework/Application.h"

namespace comflash::gui {

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

// Hands an error no handler caught to the current application's display.
void ReportUncaught(const void* sender, std::exception_ptr error) noexcept;

// Runs handler; what it throws goes to the current application's display.
template <typename Handler>
void RunGuarded(const void* sender, Handler&& handler) noexcept {
  try {
    std::forward<Handler>(handler)();
  } catch (...) {
    ReportUncaught(sender, std::current_exception());
  }
}

// Wraps a handler connected to a Qt signal, so no exception crosses Qt's event loop.
template <typename Handler>
auto Guarded(const void* sender, Handler handler) {
  return [sender, handler = std::move(handler)]() noexcept { RunGuarded(sender, handler); };
}

}  // namespace comflash::gui
