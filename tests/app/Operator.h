// The operator's hands for the window's tests: clicks, typing and Tab, sent
// to the real controls of the toolkit in use.
#pragma once

#include <gtest/gtest.h>
#include <ostream>

#include <string>

#include "framework/forms/Forms.h"
#include "framework/forms/StdCtrls.h"

namespace guitest {

// A mouse click on a button or check box.
void OperatorClick(forms::TControl& control);
// Selects the whole text of the combo box's edit field and types text over it, key by key.
void OperatorType(forms::TComboBox& box, const std::string& text);
// The Tab key pressed in the focused control of form.
void PressTab(forms::TForm& form);
// Runs what the toolkit has pending.
void ProcessEvents();

}  // namespace guitest

namespace forms {
inline void PrintTo(const TRect& r, std::ostream* os) {
  *os << "(" << r.Left << ", " << r.Top << ", " << r.Width << " x " << r.Height << ")";
}
inline void PrintTo(const TPoint& p, std::ostream* os) {
  *os << "(" << p.X << ", " << p.Y << ")";
}
}  // namespace forms
