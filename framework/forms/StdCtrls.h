// The standard controls: panel, push button, check box, combo box, memo and
// progress bar.
#pragma once

#include <string>
#include <vector>

#include "framework/forms/Controls.h"

namespace forms {

class NativePanel;
class NativeButton;
class NativeCheckBox;
class NativeComboBox;
class NativeMemo;
class NativeProgressBar;

// A container with an optional outer bevel and a caption in its middle, which
// controls placed over it may hide.
class TPanel : public TControl {
 public:
  explicit TPanel(TControl& parent);
  std::string Caption() const;
  void SetCaption(const std::string& caption);
  TBevelCut BevelOuter() const;
  int BevelWidth() const;
  void SetBevel(TBevelCut outer, int width);
  // Inside the bevel.
  TRect ClientRect() const override;

 private:
  NativePanel* native_;
};

class TButton : public TControl {
 public:
  TButton(TControl& parent, const std::string& caption);
  std::string Caption() const;

 private:
  NativeButton* native_;
};

// A check box whose state set by the program raises its click just as the
// operator's click does; setting the state it already has raises nothing.
class TCheckBox : public TControl {
 public:
  TCheckBox(TControl& parent, const std::string& caption);
  std::string Caption() const;
  bool Checked() const;
  void SetChecked(bool checked);

 private:
  NativeCheckBox* native_;
};

// A combo box with editable text and a drop-down list.
class TComboBox : public TControl {
 public:
  explicit TComboBox(TControl& parent);
  std::vector<std::string> Items() const;
  void SetItems(const std::vector<std::string>& items);
  // The selected list item, or -1 when none is: text typed into the box that
  // differs from the item the toolkit still marks means no item is selected.
  int ItemIndex() const;
  void SetItemIndex(int index);
  // The text in the edit field.
  std::string Text() const;
  bool Editable() const;
  void SetItemHeight(int pixels);

 private:
  NativeComboBox* native_;
};

// A multi-line text box: the log.
class TMemo : public TControl {
 public:
  explicit TMemo(TControl& parent);
  // The lines, joined with "\n".
  std::string Text() const;
  void Clear();
  void AppendLine(const std::string& line);
  // Many lines in one go: one layout for the lot.
  void AppendLines(const std::vector<std::string>& lines);
  bool WordWrap() const;
  bool HasScrollBars() const;
  bool ReadOnly() const;

 private:
  NativeMemo* native_;
};

class TProgressBar : public TControl {
 public:
  explicit TProgressBar(TControl& parent);
  int Min() const;
  int Max() const;
  int Position() const;
  void SetRange(int min, int max);
  void SetPosition(int position);

 private:
  NativeProgressBar* native_;
};

}  // namespace forms
