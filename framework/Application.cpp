#include "framework/Application.h"

#include <atomic>
#include <iostream>

#include "framework/MainThreadQueue.h"

namespace framework {

namespace {
ConsoleApplication& ConsoleInstance() {
  static ConsoleApplication console;
  return console;
}
std::atomic<Application*> current{nullptr};

void WakeCurrentApplication() {
  App().WakeMainThread();
}
}  // namespace

Application& App() {
  Application* app = current.load(std::memory_order_acquire);
  return app ? *app : ConsoleInstance();
}

void SetApplication(Application* app) {
  current.store(app, std::memory_order_release);
  SetWakeHook(&WakeCurrentApplication);
}

std::string ExceptionMessage(std::exception_ptr error) {
  try {
    if (error) std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown exception";
  }
  return {};
}

void Application::HandleException(const void* /*sender*/, std::exception_ptr error) {
  ShowException(ExceptionMessage(error));
}

void ConsoleApplication::ProcessMessages() {
  CheckSynchronize(0);
}

void ConsoleApplication::ShowException(const std::string& message) {
  std::cerr << message << std::endl;
}

}  // namespace framework
