// The form, the program's application object and the toolkit's session.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/Application.h"
#include "framework/forms/Controls.h"
#include "framework/forms/Dialogs.h"

namespace forms {

class NativeForm;

// A top-level window with a resizable frame; its controls are laid out in its
// client area.
class TForm : public TControl {
 public:
  TForm();
  ~TForm() override;

  std::string Caption() const;
  void SetCaption(const std::string& caption);
  // The outer frame's top-left corner on the screen.
  TPoint Position() const;
  void SetPosition(TPoint topLeft);
  int ClientWidth() const;
  int ClientHeight() const;
  // Resizes the client area; the toolkit's resize realigns the controls.
  void SetClientSize(int width, int height);
  TRect ClientRect() const override;

  TFont Font() const;
  // The system's dialog font at the given size stands in for the design's face.
  void SetFont(const TFont& font);

  void Show();
  bool Visible() const;
  // Closes the window; the program's message loop ends with the main form.
  void Close();
  // Asked by the toolkit when the window is to close (the operator's close
  // button, Close()): true closes it now. While an event handler runs, such as
  // an upload that processes messages between its blocks, the close is
  // remembered instead and carried out when the outermost handler has
  // returned: the run ends, its boxes are shown and answered, then the form
  // closes.
  bool CloseAsked();
  bool ClosePending() const { return close_pending_; }

  // The deepest control at a point of the client area, or nullptr.
  TControl* ControlAt(TPoint p) const;
  TControl* FocusedControl() const;
  // Every tab stop in tab order: depth first, children in creation order.
  std::vector<TControl*> TabStops() const;
  // The tab stop after (or before) from, wrapping around; nullptr if none.
  TControl* NextTabStop(TControl* from, bool forward = true) const;

  // Told by the toolkit when the window's client area changed size.
  void NativeResized();

 private:
  NativeForm* native_;
  bool close_pending_ = false;
  friend class HandlerScope;
};

// The toolkit started for this program: it must exist before any control.
class ToolkitSession {
 public:
  virtual ~ToolkitSession() = default;
};
std::unique_ptr<ToolkitSession> StartToolkit(int& argc, char** argv);

// The application seam on the toolkit: processing messages runs the toolkit's
// pending messages and then the pending synchronised calls; a synchronised
// call queued from another thread wakes the message loop; uncaught errors go
// to errors.ShowError.
std::unique_ptr<framework::Application> CreateApplicationSeam(Dialogs& errors);

// The toolkit's own modal dialogs.
std::unique_ptr<Dialogs> CreateSystemDialogs();

// Runs the message loop until the main form is closed; its result.
int RunMessageLoop();

// The program's application object: the toolkit, its dialogs and the seam,
// installed for its lifetime.
class TApplication {
 public:
  TApplication(int& argc, char** argv);
  ~TApplication();
  TApplication(const TApplication&) = delete;
  TApplication& operator=(const TApplication&) = delete;

  forms::Dialogs& Dialogs() { return *dialogs_; }
  int Run() { return RunMessageLoop(); }

 private:
  std::unique_ptr<ToolkitSession> toolkit_;
  std::unique_ptr<forms::Dialogs> dialogs_;
  std::unique_ptr<framework::Application> seam_;
};

}  // namespace forms
