// The modal dialogs on Qt Widgets.
#pragma once

#include "framework/forms/Dialogs.h"

class QWidget;

namespace forms::qt {

class QtDialogs : public Dialogs {
 public:
  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& text) override;
  std::optional<std::string> OpenFile(const OpenDialogOptions& options) override;

 private:
  // The window the dialogs belong to: the active one, if any.
  static QWidget* Owner();
};

}  // namespace forms::qt
