// The modal dialogs behind one small interface, so the handlers can be driven
// by tests without anyone pressing OK. Texts are UTF-8.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace forms {

// What a file-open dialog is asked to show.
struct OpenDialogOptions {
  std::string DefaultSuffix;  // appended to a chosen name without one, e.g. "hex"
  std::string FileName;       // the file proposed at the start
  std::string Filter;         // empty: every file is listed
  std::string Title;          // empty: the toolkit's own title
  bool FileMustExist = false;
};

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  // A message box with the text, no icon and one OK button.
  virtual void ShowMessage(const std::string& text) = 0;
  // An error box with the text of an error no handler caught.
  virtual void ShowError(const std::string& text) = 0;
  // A file-open dialog: the chosen path, or nothing when cancelled.
  virtual std::optional<std::string> OpenFile(const OpenDialogOptions& options) = 0;
};

// A file-open dialog: its settings, and the file chosen last, which
// is also the one proposed the next time.
class TOpenDialog {
 public:
  explicit TOpenDialog(Dialogs& dialogs) : dialogs_(dialogs) {}

  OpenDialogOptions Options;

  // Shows the dialog modally; true when a file was chosen.
  bool Execute() {
    auto chosen = dialogs_.OpenFile(Options);
    if (!chosen) return false;
    Options.FileName = std::move(*chosen);
    return true;
  }
  const std::string& FileName() const { return Options.FileName; }

 private:
  Dialogs& dialogs_;
};

}  // namespace forms
