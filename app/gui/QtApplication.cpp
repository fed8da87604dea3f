#include "app/gui/QtApplication.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QtGlobal>

#include "framework/MainThreadQueue.h"

namespace comflash::gui {

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

void ReportUncaught(const void* sender, std::exception_ptr error) noexcept {
  try {
    framework::App().HandleException(sender, error);
  } catch (...) {
    // The display itself failed: the console is the last place left to say it.
    qCritical("Unhandled error: %s (showing it failed: %s)",
              framework::ExceptionMessage(error).c_str(),
              framework::ExceptionMessage(std::current_exception()).c_str());
  }
}

}  // namespace comflash::gui
