// The modal dialogs on Win32: MessageBoxW and GetOpenFileNameW.
#pragma once

#include "framework/forms/Dialogs.h"

namespace forms::win32 {

class Win32Dialogs : public Dialogs {
 public:
  void ShowMessage(const std::string& text) override;
  void ShowError(const std::string& text) override;
  std::optional<std::string> OpenFile(const OpenDialogOptions& options) override;
};

}  // namespace forms::win32
