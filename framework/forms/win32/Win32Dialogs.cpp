#include "framework/forms/win32/Win32Dialogs.h"

#include <windows.h>
// After windows.h, which it needs.
#include <commdlg.h>

#include <vector>

#include "framework/forms/win32/Win32Toolkit.h"

namespace forms::win32 {

namespace {

// The program's name, as the boxes' caption.
std::wstring Title() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring name(path);
  const auto slash = name.find_last_of(L"\\/");
  if (slash != std::wstring::npos) name.erase(0, slash + 1);
  const auto dot = name.rfind(L'.');
  if (dot != std::wstring::npos) name.erase(dot);
  return name;
}

void ShowBox(const std::string& text, UINT icon) {
  // Owned by the main window, not the active one: that is none while the
  // operator is in another program, and the box would then stand alone.
  MessageBoxW(MainWindow(), Widen(text).c_str(), Title().c_str(), MB_OK | icon);
}

}  // namespace

void Win32Dialogs::ShowMessage(const std::string& text) {
  ShowBox(text, 0);
}

void Win32Dialogs::ShowError(const std::string& text) {
  ShowBox(text, MB_ICONERROR);
}

std::optional<std::string> Win32Dialogs::OpenFile(const OpenDialogOptions& options) {
  std::vector<wchar_t> file(32768, L'\0');
  const std::wstring proposed = Widen(options.FileName);
  proposed.copy(file.data(), std::min(proposed.size(), file.size() - 1));
  const std::wstring suffix = Widen(options.DefaultSuffix);
  const std::wstring title = Widen(options.Title);
  // "name|pattern|..." as the dialog's pairs of zero-terminated strings.
  std::wstring filter = Widen(options.Filter);
  for (wchar_t& c : filter)
    if (c == L'|') c = L'\0';
  if (!filter.empty()) filter += std::wstring(2, L'\0');

  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = MainWindow();
  ofn.lpstrFile = file.data();
  ofn.nMaxFile = static_cast<DWORD>(file.size());
  ofn.lpstrDefExt = suffix.empty() ? nullptr : suffix.c_str();
  ofn.lpstrFilter = filter.empty() ? nullptr : filter.c_str();
  ofn.lpstrTitle = title.empty() ? nullptr : title.c_str();
  ofn.Flags = OFN_EXPLORER | OFN_HIDEREADONLY | OFN_ENABLESIZING | OFN_NOCHANGEDIR |
              (options.FileMustExist ? OFN_FILEMUSTEXIST : 0);
  if (!GetOpenFileNameW(&ofn)) return std::nullopt;  // cancelled (or the dialog failed)
  return Narrow(file.data());
}

}  // namespace forms::win32
