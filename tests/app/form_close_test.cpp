// A close asked while an event handler runs (an upload processes messages
// between its blocks) waits for the handler, on either back end.
#include <gtest/gtest.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "tests/app/FormFixture.h"

namespace {

using guitest::FormTest;

class FormClose : public FormTest {
 protected:
  void TearDown() override {
#ifdef _WIN32
    // The closed main window ended the loop: not for the next test's loop.
    MSG msg;
    while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
#endif
    FormTest::TearDown();
  }
};

TEST_F(FormClose, AskedDuringAHandlerTheFormClosesWhenTheHandlerHasEnded) {
  TForm1& f = Create();
  bool visibleInside = false, pendingInside = false;
  f.Button4->OnClick = [&](framework::TComponent*) {
    f.Close();
    guitest::ProcessEvents();
    visibleInside = f.Visible();
    pendingInside = f.ClosePending();
  };
  guitest::OperatorClick(*f.Button4);
  EXPECT_TRUE(visibleInside) << "the run goes on in sight";
  EXPECT_TRUE(pendingInside);
  EXPECT_FALSE(f.Visible()) << "closed once the handler ended";
  EXPECT_FALSE(f.ClosePending());
}

TEST_F(FormClose, OutsideAHandlerTheFormClosesAtOnce) {
  TForm1& f = Create();
  f.Close();
  EXPECT_FALSE(f.Visible());
  EXPECT_FALSE(f.ClosePending());
}

}  // namespace
