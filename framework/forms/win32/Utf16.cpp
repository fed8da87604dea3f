#include <vector>

#include "framework/forms/win32/Win32Toolkit.h"

namespace forms::win32 {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string Narrow(const std::wstring& utf16) {
  if (utf16.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()),
                                    nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16.data(), static_cast<int>(utf16.size()), narrow.data(), n,
                      nullptr, nullptr);
  return narrow;
}

std::wstring WindowText(HWND hwnd) {
  const int length = GetWindowTextLengthW(hwnd);
  std::vector<wchar_t> buffer(static_cast<std::size_t>(length) + 1);
  const int got = GetWindowTextW(hwnd, buffer.data(), length + 1);
  return std::wstring(buffer.data(), static_cast<std::size_t>(got > 0 ? got : 0));
}

}  // namespace forms::win32
