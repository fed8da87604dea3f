// The Win32 back end's modal dialogs, answered from a timer that runs inside
// their own message loops, as an operator would answer them.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
// After windows.h, which it needs.
#include <commdlg.h>
#include <dlgs.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "framework/forms/win32/Win32Dialogs.h"
#include "tests/support/TempDir.h"

namespace {

std::wstring TextOf(HWND h) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(h, buffer, 1024);
  return buffer;
}

std::wstring ClassOf(HWND h) {
  wchar_t buffer[64] = {};
  GetClassNameW(h, buffer, 64);
  return buffer;
}

std::vector<HWND> ChildrenOf(HWND parent) {
  std::vector<HWND> children;
  EnumChildWindows(
      parent,
      [](HWND h, LPARAM list) {
        reinterpret_cast<std::vector<HWND>*>(list)->push_back(h);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  return children;
}

// Runs act on the first visible dialog box of this thread once it is up; a
// box that never shows leaves act unrun and the test fails on Seen().
class WhenShown {
 public:
  explicit WhenShown(std::function<void(HWND)> act) {
    current_ = this;
    act_ = std::move(act);
    timer_ = SetTimer(nullptr, 0, 50, &WhenShown::Tick);
  }
  ~WhenShown() {
    KillTimer(nullptr, timer_);
    current_ = nullptr;
  }
  WhenShown(const WhenShown&) = delete;
  WhenShown& operator=(const WhenShown&) = delete;
  bool Seen() const { return seen_; }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    WhenShown* self = current_;
    if (!self || self->seen_) return;
    HWND found = nullptr;
    EnumThreadWindows(
        GetCurrentThreadId(),
        [](HWND h, LPARAM out) {
          if (IsWindowVisible(h) && ClassOf(h) == L"#32770") {
            *reinterpret_cast<HWND*>(out) = h;
            return FALSE;
          }
          return TRUE;
        },
        reinterpret_cast<LPARAM>(&found));
    if (!found) return;
    self->seen_ = true;
    self->act_(found);
  }

  static inline WhenShown* current_ = nullptr;
  std::function<void(HWND)> act_;
  UINT_PTR timer_ = 0;
  bool seen_ = false;
};

// What a message box shows: its text, whether an icon, how many buttons.
struct BoxContents {
  std::wstring caption;
  std::wstring text;
  bool icon = false;
  int buttons = 0;
};

BoxContents Inspect(HWND box) {
  BoxContents c;
  c.caption = TextOf(box);
  for (HWND child : ChildrenOf(box)) {
    if (!IsWindowVisible(child)) continue;
    const std::wstring kind = ClassOf(child);
    const LONG_PTR style = GetWindowLongPtrW(child, GWL_STYLE);
    if (kind == L"Button") ++c.buttons;
    // An icon control may be there without an icon in it.
    if (kind == L"Static" && (style & SS_TYPEMASK) == SS_ICON &&
        SendMessageW(child, STM_GETICON, 0, 0) != 0)
      c.icon = true;
    if (kind == L"Static" && (style & SS_TYPEMASK) != SS_ICON && !TextOf(child).empty())
      c.text = TextOf(child);
  }
  return c;
}

TEST(Win32Dialogs, TheMessageBoxHasTheTextNoIconAndOneOkButton) {
  forms::win32::Win32Dialogs dialogs;
  BoxContents seen;
  WhenShown answer([&](HWND box) {
    seen = Inspect(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  dialogs.ShowMessage("Порт не существует или занят другим устройством:<b>COM7</b>");
  ASSERT_TRUE(answer.Seen());
  EXPECT_EQ(seen.text, L"Порт не существует или занят другим устройством:<b>COM7</b>");
  EXPECT_FALSE(seen.icon);
  EXPECT_EQ(seen.buttons, 1);
  EXPECT_EQ(seen.caption, L"window_tests") << "the program's name";
}

TEST(Win32Dialogs, TheErrorBoxShowsTheTextWithTheErrorIcon) {
  forms::win32::Win32Dialogs dialogs;
  BoxContents seen;
  WhenShown answer([&](HWND box) {
    seen = Inspect(box);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
  });
  dialogs.ShowError("Error calling comm function (31)");
  ASSERT_TRUE(answer.Seen());
  EXPECT_EQ(seen.text, L"Error calling comm function (31)");
  EXPECT_TRUE(seen.icon);
  EXPECT_EQ(seen.buttons, 1);
}

class Win32FileDialog : public ::testing::Test {
 protected:
  Win32FileDialog() {
    options.DefaultSuffix = "hex";
    options.FileName = dir / "_code.hex";
  }
  testsupport::TempDir dir{"comflash-dialog"};
  forms::OpenDialogOptions options;
  forms::win32::Win32Dialogs dialogs;
};

TEST_F(Win32FileDialog, CancellingGivesNothing) {
  WhenShown cancel([](HWND d) { PostMessageW(d, WM_COMMAND, IDCANCEL, 0); });
  EXPECT_FALSE(dialogs.OpenFile(options).has_value());
  EXPECT_TRUE(cancel.Seen());
}

TEST_F(Win32FileDialog, OpensInTheProposedFolderAndAddsTheDefaultSuffix) {
  std::ofstream(dir / "fresh.hex") << ":00000001FF\r\n";
  WhenShown choose([](HWND d) {
    // Typed into the name field, then Open.
    SendMessageW(d, CDM_SETCONTROLTEXT, cmb13, reinterpret_cast<LPARAM>(L"fresh"));
    SendMessageW(d, CDM_SETCONTROLTEXT, edt1, reinterpret_cast<LPARAM>(L"fresh"));
    PostMessageW(d, WM_COMMAND, IDOK, 0);
  });
  const auto chosen = dialogs.OpenFile(options);
  ASSERT_TRUE(choose.Seen());
  ASSERT_TRUE(chosen.has_value());
  const std::filesystem::path path(*chosen);
  EXPECT_EQ(path.filename(), "fresh.hex") << *chosen;
  EXPECT_TRUE(std::filesystem::equivalent(path.parent_path(), dir.Path())) << *chosen;
}

}  // namespace
