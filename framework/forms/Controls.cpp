#include "framework/forms/Controls.h"

#include <algorithm>

#include "framework/Application.h"
#include "framework/forms/Native.h"

namespace forms {

TControl::TControl(TControl* parent, bool tabStop)
    : framework::TComponent(parent), parent_(parent), tab_stop_(tabStop) {
  if (parent_) parent_->controls_.push_back(this);
}

TControl::~TControl() {
  Destroying();
  owned_.clear();  // children before the native counterpart they live on
  native_.reset();
  if (parent_) std::erase(parent_->controls_, this);
}

void TControl::Attach(std::unique_ptr<NativeControl> native) {
  native_ = std::move(native);
}

TRect TControl::BoundsRect() const {
  return native_->Bounds();
}

void TControl::SetBounds(const TRect& bounds) {
  const TRect before = native_->Bounds();
  native_->SetBounds(bounds);
  if (before.Width != bounds.Width || before.Height != bounds.Height) Realign();
}

TRect TControl::ClientRect() const {
  const TRect b = BoundsRect();
  return {0, 0, b.Width, b.Height};
}

void TControl::SetAlign(TAlign align) {
  align_ = align;
  if (parent_) parent_->Realign();
}

void TControl::Realign() {
  const TRect area = ClientRect();
  int top = area.Top;
  int bottom = area.Bottom();
  for (TControl* c : controls_) {
    if (c->align_ != TAlign::alTop) continue;
    const int h = c->Height();
    c->SetBounds({area.Left, top, area.Width, h});
    top += h;
  }
  for (TControl* c : controls_) {
    if (c->align_ != TAlign::alBottom) continue;
    const int h = c->Height();
    bottom -= h;
    c->SetBounds({area.Left, bottom, area.Width, h});
  }
  for (TControl* c : controls_) {
    if (c->align_ != TAlign::alClient) continue;
    c->SetBounds({area.Left, top, area.Width, std::max(0, bottom - top)});
  }
}

bool TControl::Enabled() const {
  return native_->Enabled();
}

void TControl::SetEnabled(bool enabled) {
  native_->SetEnabled(enabled);
}

bool TControl::Focused() const {
  return native_->HasFocus();
}

void TControl::SetFocus() {
  native_->SetFocus();
}

void TControl::Click() {
  const HandlerScope scope;
  if (OnClick) RunGuarded(this, [this] { OnClick(this); });
}

void RunGuarded(const void* sender, const std::function<void()>& handler) noexcept {
  try {
    handler();
  } catch (...) {
    try {
      framework::App().HandleException(sender, std::current_exception());
    } catch (...) {
      // The display itself failed; the console's is the one left.
      framework::ConsoleApplication().ShowException(
          framework::ExceptionMessage(std::current_exception()));
    }
  }
}

}  // namespace forms
