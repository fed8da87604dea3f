// The controls layer: the window-level pieces a form is built from, free of
// any toolkit. Each control asks its native counterpart (Native.h) for what it
// shows, so what the layer reports is what the toolkit holds.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "framework/Component.h"
#include "framework/forms/Types.h"

namespace forms {

class NativeControl;

using TNotifyEvent = std::function<void(framework::TComponent* Sender)>;

class TControl : public framework::TComponent {
 public:
  ~TControl() override;
  TControl(const TControl&) = delete;
  TControl& operator=(const TControl&) = delete;

  TControl* Parent() const { return parent_; }
  // Children in creation order, which is also their stacking order (a later
  // one lies above an earlier one) and their tab order.
  const std::vector<TControl*>& Controls() const { return controls_; }

  TRect BoundsRect() const;
  // Places the control; a change of size realigns its children.
  void SetBounds(const TRect& bounds);
  int Left() const { return BoundsRect().Left; }
  int Top() const { return BoundsRect().Top; }
  int Width() const { return BoundsRect().Width; }
  int Height() const { return BoundsRect().Height; }
  // The area aligned children share, in the control's own coordinates.
  virtual TRect ClientRect() const;

  TAlign Align() const { return align_; }
  void SetAlign(TAlign align);
  // Lays the aligned children out in the client area: top ones from the top
  // down, bottom ones from the bottom up, each across the whole width and
  // keeping its height; a client one takes what is left. Others stay put.
  void Realign();

  bool Enabled() const;
  void SetEnabled(bool enabled);

  // Whether Tab stops at the control.
  bool TabStop() const { return tab_stop_; }
  bool Focused() const;
  void SetFocus();

  // The click event: the operator's press, and for a check box every change
  // of its state. An error a handler raises goes to the application's
  // display of uncaught errors.
  TNotifyEvent OnClick;
  void Click();

  // The toolkit's counterpart (for back ends and for tests that drive it).
  NativeControl& Native() const { return *native_; }

 protected:
  TControl(TControl* parent, bool tabStop);
  // Derived constructors hand over their native counterpart and keep a typed
  // pointer to it.
  template <typename Native>
  Native* Adopt(std::unique_ptr<Native> native) {
    Native* raw = native.get();
    Attach(std::move(native));
    return raw;
  }

 private:
  void Attach(std::unique_ptr<NativeControl> native);

  template <typename T, typename... Args>
  friend T* Create(TControl& parent, Args&&... args);

  TControl* parent_;
  bool tab_stop_;
  TAlign align_ = TAlign::alNone;
  std::vector<TControl*> controls_;
  // Declared after the native counterpart, so children go first.
  std::unique_ptr<NativeControl> native_;
  std::vector<std::unique_ptr<TControl>> owned_;
};

// Creates a control on parent, which owns it from then on.
template <typename T, typename... Args>
T* Create(TControl& parent, Args&&... args) {
  auto control = std::make_unique<T>(parent, std::forward<Args>(args)...);
  T* raw = control.get();
  parent.owned_.push_back(std::move(control));
  return raw;
}

// Runs handler; what it throws goes to the application's display of uncaught
// errors, so no exception crosses a toolkit's message loop.
void RunGuarded(const void* sender, const std::function<void()>& handler) noexcept;

// The controls' event handlers run inside one of these (main thread). A form
// closed meanwhile (TForm::CloseAsked) is closed when the outermost ends.
class HandlerScope {
 public:
  HandlerScope();
  ~HandlerScope();
  HandlerScope(const HandlerScope&) = delete;
  HandlerScope& operator=(const HandlerScope&) = delete;
  static bool Active();
};

}  // namespace forms
