// A main window built as the program builds it, with recorded dialogs and the
// toolkit's binding of the application seam.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/Unit1.h"
#include "framework/forms/Forms.h"
#include "tests/app/Operator.h"
#include "tests/support/FakeDialogs.h"
#include "tests/support/FakeSerialApi.h"

namespace guitest {

// The window goes in TearDown, while the fixture's devices still exist.
class FormTest : public ::testing::Test {
 protected:
  void TearDown() override { Destroy(); }

  // Creates, starts and shows the window; api is the port's device back end.
  TForm1& Create(serial::SerialApi& api = serial::PlatformSerialApi()) {
    form = std::make_unique<TForm1>(dialogs, api);
    Form1 = form.get();
    form->FormCreate(form.get());
    form->Show();
    return *form;
  }
  // Destroys the window (closing its port) before the dialogs it uses go.
  void Destroy() {
    form.reset();
    Form1 = nullptr;
  }

  FakeDialogs dialogs;
  serial::FakeSerialApi fake;  // a scripted device, for tests that ask for it
  std::unique_ptr<framework::Application> app = forms::CreateApplicationSeam(dialogs);
  std::unique_ptr<TForm1> form;
};

// The lines of a text joined with "\n"; an empty text is one empty line.
inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines(1);
  for (const char c : text) {
    if (c == '\n')
      lines.emplace_back();
    else
      lines.back() += c;
  }
  return lines;
}

}  // namespace guitest
