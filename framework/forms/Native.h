// What a toolkit back end provides for the controls layer: one native
// counterpart per control, made by the back end linked into the program.
// Back ends tell the layer of the operator's actions through the owning
// control (TControl::Click, TForm::NativeResized). It knows the controls by
// name only: they include it in their sources, and a back end includes both.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "framework/forms/Types.h"

namespace forms {

class TControl;
class TForm;
class TPanel;
class TButton;
class TCheckBox;
class TComboBox;
class TMemo;
class TProgressBar;

class NativeControl {
 public:
  virtual ~NativeControl() = default;
  // The toolkit's own object (a QWidget*, an HWND).
  virtual void* Handle() const = 0;
  // The toolkit's object of the parent it lives in.
  virtual void* ParentHandle() const = 0;
  virtual TRect Bounds() const = 0;
  virtual void SetBounds(const TRect& bounds) = 0;
  virtual bool Enabled() const = 0;
  virtual void SetEnabled(bool enabled) = 0;
  // Whether the toolkit lets the control take the keyboard focus.
  virtual bool TakesFocus() const = 0;
  virtual bool HasFocus() const = 0;
  virtual void SetFocus() = 0;
};

// A control with a caption of its own: button, check box.
class NativeCaptioned : public NativeControl {
 public:
  virtual std::string Caption() const = 0;
};

class NativePanel : public NativeCaptioned {
 public:
  virtual void SetCaption(const std::string& caption) = 0;
  virtual TBevelCut BevelOuter() const = 0;
  virtual int BevelWidth() const = 0;
  virtual void SetBevel(TBevelCut outer, int width) = 0;
};

class NativeButton : public NativeCaptioned {};

class NativeCheckBox : public NativeCaptioned {
 public:
  virtual bool Checked() const = 0;
  // Changes the state without telling anyone.
  virtual void SetChecked(bool checked) = 0;
};

class NativeComboBox : public NativeControl {
 public:
  virtual std::vector<std::string> Items() const = 0;
  virtual void SetItems(const std::vector<std::string>& items) = 0;
  // The item the toolkit marks as current (-1: none), whatever was typed since.
  virtual int CurrentIndex() const = 0;
  virtual void SetCurrentIndex(int index) = 0;
  virtual std::string Text() const = 0;
  virtual bool Editable() const = 0;
  virtual void SetItemHeight(int pixels) = 0;
};

class NativeMemo : public NativeControl {
 public:
  virtual std::string Text() const = 0;  // lines joined with "\n"
  virtual void SetText(const std::string& text) = 0;
  virtual void AppendLines(const std::vector<std::string>& lines) = 0;
  virtual bool WordWrap() const = 0;
  virtual bool HasScrollBars() const = 0;
  virtual bool ReadOnly() const = 0;
};

class NativeProgressBar : public NativeControl {
 public:
  virtual int Min() const = 0;
  virtual int Max() const = 0;
  virtual int Position() const = 0;
  virtual void SetRange(int min, int max) = 0;
  virtual void SetPosition(int position) = 0;
};

class NativeForm : public NativeControl {
 public:
  virtual std::string Caption() const = 0;
  virtual void SetCaption(const std::string& caption) = 0;
  virtual TPoint Position() const = 0;
  virtual void SetPosition(TPoint topLeft) = 0;
  virtual TRect ClientRect() const = 0;
  virtual void SetClientSize(int width, int height) = 0;
  virtual TFont Font() const = 0;
  virtual void SetFont(const TFont& font) = 0;
  virtual void Show() = 0;
  virtual bool Visible() const = 0;
  virtual void Close() = 0;
  // The deepest layer control at a point of the client area.
  virtual TControl* ControlAt(TPoint p) const = 0;
  virtual TControl* FocusedControl() const = 0;
  // Hands the tab order to a toolkit that keeps one of its own.
  virtual void SetTabOrder(const std::vector<TControl*>& stops) = 0;
};

// The back end's factory; parent is the layer control the new one lives on.
std::unique_ptr<NativeForm> CreateNativeForm(TForm& owner);
std::unique_ptr<NativePanel> CreateNativePanel(TPanel& owner, TControl& parent);
std::unique_ptr<NativeButton> CreateNativeButton(TButton& owner, TControl& parent,
                                                 const std::string& caption);
std::unique_ptr<NativeCheckBox> CreateNativeCheckBox(TCheckBox& owner, TControl& parent,
                                                     const std::string& caption);
std::unique_ptr<NativeComboBox> CreateNativeComboBox(TComboBox& owner, TControl& parent);
std::unique_ptr<NativeMemo> CreateNativeMemo(TMemo& owner, TControl& parent);
std::unique_ptr<NativeProgressBar> CreateNativeProgressBar(TProgressBar& owner, TControl& parent);

}  // namespace forms
