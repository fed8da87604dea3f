// Closing the window while an event handler still runs (an upload processes
// messages between its blocks), and the owner of the program's boxes, on
// real Win32 controls.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <memory>

#include "framework/forms/Forms.h"
#include "framework/forms/Native.h"
#include "framework/forms/StdCtrls.h"
#include "framework/forms/win32/Win32Dialogs.h"

namespace {

HWND WindowOf(const forms::TControl& c) {
  return static_cast<HWND>(c.Native().Handle());
}

// Takes a WM_QUIT waiting in this thread's queue; whether there was one.
bool TakeQuit() {
  MSG msg;
  return PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) != 0;
}

// Every message waiting, as the upload's message processing runs them.
void RunWaitingMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

struct Window {
  Window() {
    form.SetClientSize(200, 100);
    button = forms::Create<forms::TButton>(form, "Go");
    form.Show();
    TakeQuit();
  }
  forms::TForm form;
  forms::TButton* button = nullptr;
};

}  // namespace

TEST(WindowClose, AskedDuringAHandlerItWaitsForTheHandlerToEnd) {
  Window w;
  bool visibleAfterClose = false, quitDuringHandler = true, pendingDuringHandler = false;
  w.button->OnClick = [&](framework::TComponent*) {
    PostMessageW(WindowOf(w.form), WM_CLOSE, 0, 0);  // the operator's close button
    RunWaitingMessages();
    visibleAfterClose = w.form.Visible();
    pendingDuringHandler = w.form.ClosePending();
    quitDuringHandler = TakeQuit();
    if (quitDuringHandler) PostQuitMessage(0);
  };
  w.button->Click();
  EXPECT_TRUE(visibleAfterClose) << "the run goes on in sight";
  EXPECT_TRUE(pendingDuringHandler);
  EXPECT_FALSE(quitDuringHandler) << "a quit then would close the run's boxes at once";
  EXPECT_FALSE(w.form.Visible()) << "closed once the handler ended";
  EXPECT_FALSE(w.form.ClosePending());
  EXPECT_TRUE(TakeQuit()) << "the program's loop ends";
}

TEST(WindowClose, OutsideAHandlerItClosesAtOnce) {
  Window w;
  SendMessageW(WindowOf(w.form), WM_CLOSE, 0, 0);
  EXPECT_FALSE(w.form.Visible());
  EXPECT_TRUE(TakeQuit());
}

// A box the handler shows after the close was asked stays up until answered.
TEST(WindowClose, TheRunsErrorBoxIsNotEndedByThePendingClose) {
  Window w;
  forms::win32::Win32Dialogs dialogs;
  bool answered = false;
  w.button->OnClick = [&](framework::TComponent*) {
    PostMessageW(WindowOf(w.form), WM_CLOSE, 0, 0);
    RunWaitingMessages();
    // Answered from a timer inside the box's own loop after 300 ms: a box
    // that a waiting quit ended returns before that.
    SetTimer(nullptr, 0, 300, [](HWND, UINT, UINT_PTR id, DWORD) {
      KillTimer(nullptr, id);
      HWND box = FindWindowW(L"#32770", nullptr);
      if (box) PostMessageW(box, WM_COMMAND, IDOK, 0);
    });
    const DWORD start = GetTickCount();
    dialogs.ShowError("Error calling comm function (31)");
    answered = GetTickCount() - start >= 250;
  };
  w.button->Click();
  EXPECT_TRUE(answered) << "the box ended before it was answered";
  EXPECT_TRUE(TakeQuit());
}

// The operator in another program: the active window is not ours, or none.
TEST(WindowBoxes, AreOwnedByTheMainWindowWhicheverWindowIsActive) {
  Window w;
  HWND other =
      CreateWindowExW(0, L"STATIC", L"another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                      100, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(other, nullptr);
  SetActiveWindow(other);
  forms::win32::Win32Dialogs dialogs;
  static HWND owner;
  owner = nullptr;
  SetTimer(nullptr, 0, 100, [](HWND, UINT, UINT_PTR id, DWORD) {
    HWND box = FindWindowW(L"#32770", nullptr);
    if (!box) return;
    KillTimer(nullptr, id);
    owner = GetWindow(box, GW_OWNER);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  dialogs.ShowMessage("Порт не существует или занят другим устройством:COM7");
  DestroyWindow(other);
  EXPECT_EQ(owner, WindowOf(w.form));
}
