// The application seam: what the component and the upload code need of the
// program they run in. The window binds it to Qt, console programs and tests
// to a plain loop over the main-thread call queue.
#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <string>

namespace framework {

class Application {
 public:
  virtual ~Application() = default;

  // Runs pending window messages (if any) and pending synchronised calls.
  virtual void ProcessMessages() = 0;
  // Shows the text of an error no handler caught; the program goes on.
  virtual void ShowException(const std::string& message) = 0;
  // Called from any thread when a synchronised call is queued for the main
  // thread, so an event loop asleep in its own wait wakes up.
  virtual void WakeMainThread() {}

  // The application-wide handler for an uncaught error: shows its text.
  // `sender` is the object whose work raised it (informational).
  void HandleException(const void* sender, std::exception_ptr error);
};

// The current application; a console one until another is installed.
Application& App();
// Installs app as the current one (nullptr: back to the console one).
void SetApplication(Application* app);

// Standard error for messages; ProcessMessages runs the call queue.
class ConsoleApplication : public Application {
 public:
  void ProcessMessages() override;
  void ShowException(const std::string& message) override;
};

// The text of an exception object, whatever its type.
std::string ExceptionMessage(std::exception_ptr error);

}  // namespace framework
