#include "framework/forms/Forms.h"

#include <algorithm>

#include "framework/forms/Native.h"

namespace forms {

namespace {
void CollectTabStops(const TControl& parent, std::vector<TControl*>& stops) {
  for (TControl* c : parent.Controls()) {
    if (c->TabStop()) stops.push_back(c);
    CollectTabStops(*c, stops);
  }
}

int handler_depth = 0;
std::vector<TForm*> forms_to_close;

bool EnabledWithParents(const TControl* c) {
  for (; c; c = c->Parent())
    if (!c->Enabled()) return false;
  return true;
}
}  // namespace

TForm::TForm() : TControl(nullptr, false) {
  native_ = Adopt(CreateNativeForm(*this));
}

TForm::~TForm() {
  std::erase(forms_to_close, this);
}

std::string TForm::Caption() const {
  return native_->Caption();
}
void TForm::SetCaption(const std::string& caption) {
  native_->SetCaption(caption);
}
TPoint TForm::Position() const {
  return native_->Position();
}
void TForm::SetPosition(TPoint topLeft) {
  native_->SetPosition(topLeft);
}
int TForm::ClientWidth() const {
  return native_->ClientRect().Width;
}
int TForm::ClientHeight() const {
  return native_->ClientRect().Height;
}
void TForm::SetClientSize(int width, int height) {
  native_->SetClientSize(width, height);
}
TRect TForm::ClientRect() const {
  return native_->ClientRect();
}
TFont TForm::Font() const {
  return native_->Font();
}
void TForm::SetFont(const TFont& font) {
  native_->SetFont(font);
}

void TForm::Show() {
  native_->SetTabOrder(TabStops());
  native_->Show();
}
bool TForm::Visible() const {
  return native_->Visible();
}
void TForm::Close() {
  native_->Close();
}

bool TForm::CloseAsked() {
  if (!HandlerScope::Active()) return true;
  if (!close_pending_) forms_to_close.push_back(this);
  close_pending_ = true;
  return false;
}

HandlerScope::HandlerScope() {
  ++handler_depth;
}

HandlerScope::~HandlerScope() {
  if (--handler_depth > 0) return;
  const std::vector<TForm*> closing = std::move(forms_to_close);
  forms_to_close.clear();
  for (TForm* form : closing) {
    form->close_pending_ = false;
    RunGuarded(form, [form] { form->Close(); });
  }
}

bool HandlerScope::Active() {
  return handler_depth > 0;
}

TControl* TForm::ControlAt(TPoint p) const {
  return native_->ControlAt(p);
}
TControl* TForm::FocusedControl() const {
  return native_->FocusedControl();
}

std::vector<TControl*> TForm::TabStops() const {
  std::vector<TControl*> stops;
  CollectTabStops(*this, stops);
  return stops;
}

TControl* TForm::NextTabStop(TControl* from, bool forward) const {
  const std::vector<TControl*> stops = TabStops();
  if (stops.empty()) return nullptr;
  const auto n = static_cast<long>(stops.size());
  const auto found = std::find(stops.begin(), stops.end(), from);
  long i = found == stops.end() ? (forward ? -1 : n) : found - stops.begin();
  for (long step = 0; step < n; ++step) {
    i = ((forward ? i + 1 : i - 1) % n + n) % n;
    TControl* c = stops[static_cast<std::size_t>(i)];
    if (EnabledWithParents(c)) return c;
  }
  return nullptr;
}

void TForm::NativeResized() {
  Realign();
}

TApplication::TApplication(int& argc, char** argv)
    : toolkit_(StartToolkit(argc, argv)),
      dialogs_(CreateSystemDialogs()),
      seam_(CreateApplicationSeam(*dialogs_)) {}

TApplication::~TApplication() = default;

}  // namespace forms
