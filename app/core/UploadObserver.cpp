#include "app/core/UploadObserver.h"

namespace comflash {

namespace {
void Call(const std::function<void(bool)>& f, bool v) {
  if (f) f(v);
}
}  // namespace

void ControlsObserver::RunStarted() {
  Call(controls_.SetSwitchEnabled, false);
  Call(controls_.SetFileButtonEnabled, false);
  Call(controls_.SetUploadButtonEnabled, false);
  if (controls_.ClearLog) controls_.ClearLog();
}

void ControlsObserver::RunEnded() {
  Call(controls_.SetUploadButtonEnabled, true);
  Call(controls_.SetFileButtonEnabled, true);
  Call(controls_.SetSwitchEnabled, true);
}

void ControlsObserver::LogLine(const std::string& line) {
  if (controls_.AppendLog) controls_.AppendLog(line);
}

}  // namespace comflash
