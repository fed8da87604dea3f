// The operator's hands on Win32 controls: messages to the controls' windows.
#include "tests/app/Operator.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <string>

#include "framework/Application.h"
#include "framework/forms/Native.h"

namespace guitest {

namespace {
HWND HandleOf(forms::TControl& control) {
  return static_cast<HWND>(control.Native().Handle());
}

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}
}  // namespace

void OperatorClick(forms::TControl& control) {
  // A press and release of the left button on the control, which then tells its parent.
  SendMessageW(HandleOf(control), BM_CLICK, 0, 0);
}

void OperatorType(forms::TComboBox& box, const std::string& text) {
  COMBOBOXINFO info{};
  info.cbSize = sizeof info;
  ASSERT_TRUE(GetComboBoxInfo(HandleOf(box), &info));
  HWND edit = info.hwndItem;
  ASSERT_NE(edit, nullptr) << "no edit field";
  SetFocus(edit);
  SendMessageW(edit, EM_SETSEL, 0, -1);
  for (const wchar_t c : Widen(text)) SendMessageW(edit, WM_CHAR, c, 1);
}

void PressTab(forms::TForm& form) {
  HWND target = GetFocus();
  if (!target) target = HandleOf(form);
  // Posted, as the keyboard's are: the message loop sees it before the control does.
  PostMessageW(target, WM_KEYDOWN, VK_TAB, 0x000F0001);
  PostMessageW(target, WM_KEYUP, VK_TAB, static_cast<LPARAM>(0xC00F0001u));
  ProcessEvents();
}

void ProcessEvents() {
  framework::App().ProcessMessages();
}

}  // namespace guitest
