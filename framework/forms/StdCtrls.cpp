#include "framework/forms/StdCtrls.h"

#include <algorithm>

#include "framework/forms/Native.h"

namespace forms {

TPanel::TPanel(TControl& parent) : TControl(&parent, false) {
  native_ = Adopt(CreateNativePanel(*this, parent));
}
std::string TPanel::Caption() const {
  return native_->Caption();
}
void TPanel::SetCaption(const std::string& caption) {
  native_->SetCaption(caption);
}
TBevelCut TPanel::BevelOuter() const {
  return native_->BevelOuter();
}
int TPanel::BevelWidth() const {
  return native_->BevelWidth();
}
void TPanel::SetBevel(TBevelCut outer, int width) {
  native_->SetBevel(outer, width);
  Realign();
}
TRect TPanel::ClientRect() const {
  const TRect b = BoundsRect();
  const int inset = BevelOuter() == TBevelCut::bvNone ? 0 : BevelWidth();
  return {inset, inset, std::max(0, b.Width - 2 * inset), std::max(0, b.Height - 2 * inset)};
}

TButton::TButton(TControl& parent, const std::string& caption) : TControl(&parent, true) {
  native_ = Adopt(CreateNativeButton(*this, parent, caption));
}
std::string TButton::Caption() const {
  return native_->Caption();
}

TCheckBox::TCheckBox(TControl& parent, const std::string& caption) : TControl(&parent, true) {
  native_ = Adopt(CreateNativeCheckBox(*this, parent, caption));
}
std::string TCheckBox::Caption() const {
  return native_->Caption();
}
bool TCheckBox::Checked() const {
  return native_->Checked();
}
void TCheckBox::SetChecked(bool checked) {
  if (native_->Checked() == checked) return;
  native_->SetChecked(checked);
  Click();
}

TComboBox::TComboBox(TControl& parent) : TControl(&parent, true) {
  native_ = Adopt(CreateNativeComboBox(*this, parent));
}
std::vector<std::string> TComboBox::Items() const {
  return native_->Items();
}
void TComboBox::SetItems(const std::vector<std::string>& items) {
  native_->SetItems(items);
}
int TComboBox::ItemIndex() const {
  const int index = native_->CurrentIndex();
  if (index < 0) return -1;
  const std::vector<std::string> items = native_->Items();
  if (index >= static_cast<int>(items.size())) return -1;
  if (native_->Editable() && native_->Text() != items[static_cast<std::size_t>(index)]) return -1;
  return index;
}
void TComboBox::SetItemIndex(int index) {
  native_->SetCurrentIndex(index);
}
std::string TComboBox::Text() const {
  return native_->Text();
}
bool TComboBox::Editable() const {
  return native_->Editable();
}
void TComboBox::SetItemHeight(int pixels) {
  native_->SetItemHeight(pixels);
}

TMemo::TMemo(TControl& parent) : TControl(&parent, true) {
  native_ = Adopt(CreateNativeMemo(*this, parent));
}
std::string TMemo::Text() const {
  return native_->Text();
}
void TMemo::Clear() {
  native_->SetText({});
}
void TMemo::AppendLine(const std::string& line) {
  native_->AppendLines({line});
}
void TMemo::AppendLines(const std::vector<std::string>& lines) {
  if (!lines.empty()) native_->AppendLines(lines);
}
bool TMemo::WordWrap() const {
  return native_->WordWrap();
}
bool TMemo::HasScrollBars() const {
  return native_->HasScrollBars();
}
bool TMemo::ReadOnly() const {
  return native_->ReadOnly();
}

TProgressBar::TProgressBar(TControl& parent) : TControl(&parent, false) {
  native_ = Adopt(CreateNativeProgressBar(*this, parent));
}
int TProgressBar::Min() const {
  return native_->Min();
}
int TProgressBar::Max() const {
  return native_->Max();
}
int TProgressBar::Position() const {
  return native_->Position();
}
void TProgressBar::SetRange(int min, int max) {
  native_->SetRange(min, max);
}
void TProgressBar::SetPosition(int position) {
  native_->SetPosition(position);
}

}  // namespace forms
