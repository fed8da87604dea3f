#include <vector>

#include "framework/forms/win32/Win32Toolkit.h"
#include "framework/win32/WideText.h"

namespace forms::win32 {

std::wstring Widen(const std::string& utf8) {
  return framework::Widen(utf8);
}

std::string Narrow(const std::wstring& utf16) {
  return framework::Narrow(utf16);
}

std::wstring WindowText(HWND hwnd) {
  const int length = GetWindowTextLengthW(hwnd);
  std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1);
  const int got = GetWindowTextW(hwnd, buffer.data(), length + 1);
  return std::wstring(buffer.data(), static_cast<std::size_t>(got > 0 ? got : 0));
}

}  // namespace forms::win32
