#include "framework/forms/qt/QtApplication.h"

#include <QApplication>
#include <QMetaObject>
#include <memory>

#include "framework/MainThreadQueue.h"
#include "framework/forms/Forms.h"
#include "framework/forms/qt/QtDialogs.h"

namespace forms {
namespace qt {

QtApplication::QtApplication(Dialogs& dialogs) : dialogs_(dialogs) {
  framework::SetApplication(this);
}

QtApplication::~QtApplication() {
  if (&framework::App() == this) framework::SetApplication(nullptr);
}

void QtApplication::ProcessMessages() {
  QCoreApplication::processEvents();
  framework::CheckSynchronize(0);
}

void QtApplication::ShowException(const std::string& message) {
  dialogs_.ShowError(message);
}

void QtApplication::WakeMainThread() {
  QCoreApplication* app = QCoreApplication::instance();
  if (!app) return;  // no event loop to wake; the waits of the queue itself still serve it
  QMetaObject::invokeMethod(
      app, [] { RunGuarded(nullptr, [] { framework::CheckSynchronize(0); }); },
      Qt::QueuedConnection);
}

namespace {
class QtSession : public ToolkitSession {
 public:
  QtSession(int& argc, char** argv) : app_(argc, argv) { framework::SetMainThread(); }

 private:
  QApplication app_;
};
}  // namespace

}  // namespace qt

std::unique_ptr<ToolkitSession> StartToolkit(int& argc, char** argv) {
  return std::make_unique<qt::QtSession>(argc, argv);
}

std::unique_ptr<framework::Application> CreateApplicationSeam(Dialogs& errors) {
  return std::make_unique<qt::QtApplication>(errors);
}

std::unique_ptr<Dialogs> CreateSystemDialogs() {
  return std::make_unique<qt::QtDialogs>();
}

int RunMessageLoop() {
  return QApplication::exec();
}

}  // namespace forms
