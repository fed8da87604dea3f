#define WIN32_LEAN_AND_MEAN
#include "framework/win32/WideText.h"

#include <windows.h>

namespace framework {

std::wstring Widen(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), n);
  return wide;
}

std::string Narrow(const wchar_t* utf16, std::size_t length) {
  if (length == 0) return {};
  const int size = static_cast<int>(length);
  const int n = WideCharToMultiByte(CP_UTF8, 0, utf16, size, nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string narrow(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, utf16, size, narrow.data(), n, nullptr, nullptr);
  return narrow;
}

std::string Narrow(const std::wstring& utf16) {
  return Narrow(utf16.data(), utf16.size());
}

}  // namespace framework
