// The application manifest each Windows program carries, read from the .exe
// files beside this test program as the loader reads it.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

std::wstring Beside(const std::wstring& name) {
  wchar_t self[MAX_PATH] = {};
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
  std::wstring path(self, n);
  path.erase(path.find_last_of(L"\\/") + 1);
  return path + name;
}

// The program's RT_MANIFEST resource 1, or "" when it has none.
std::string ManifestOf(const std::wstring& exe) {
  HMODULE m = LoadLibraryExW(exe.c_str(), nullptr,
                             LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  if (!m) return "";
  std::string text;
  if (HRSRC r = FindResourceW(m, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)))
    if (HGLOBAL g = LoadResource(m, r))
      text.assign(static_cast<const char*>(LockResource(g)), SizeofResource(m, r));
  FreeLibrary(m);
  return text;
}

}  // namespace

TEST(Manifest, BothProgramsCarryDpiAwarenessCommonControlsAndUtf8) {
  for (const wchar_t* name : {L"comflash.exe", L"comflash-cli.exe"}) {
    const std::wstring exe = Beside(name);
    SCOPED_TRACE(std::string(exe.begin(), exe.end()));
    if (GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) {
      ADD_FAILURE() << "the program is not beside the test";
      continue;
    }
    const std::string m = ManifestOf(exe);
    ASSERT_FALSE(m.empty()) << "no manifest resource";
    EXPECT_NE(m.find("<dpiAwareness xmlns=\"http://schemas.microsoft.com/SMI/2016/"
                     "WindowsSettings\">PerMonitorV2"),
              std::string::npos)
        << m;
    EXPECT_NE(m.find(">true/pm</dpiAware>"), std::string::npos) << "the older systems' entry";
    EXPECT_NE(m.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""),
              std::string::npos)
        << m;
    EXPECT_NE(m.find(">UTF-8</activeCodePage>"), std::string::npos) << m;
    EXPECT_NE(m.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos)
        << "Windows 10 and 11 among the supported systems";
  }
}
