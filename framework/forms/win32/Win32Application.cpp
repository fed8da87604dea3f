// The toolkit's session on Win32: window classes, the dialog font, the wake
// window that runs queued synchronised calls, the message loop, and the
// application seam bound to them.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <atomic>
#include <stdexcept>
#include <utility>
#include <vector>

#include "framework/MainThreadQueue.h"
#include "framework/forms/win32/Win32Dialogs.h"
#include "framework/forms/win32/Win32Toolkit.h"

namespace forms::win32 {

namespace {

HWND wake_window = nullptr;
std::atomic<bool> wake_posted{false};

// The dialog font, one per dots-per-inch in use, all recreated when a form
// asks for another size.
struct FontHolder {
  int points = 0;
  std::vector<std::pair<int, HFONT>> byDpi;
  void Clear() {
    for (auto& f : byDpi) DeleteObject(f.second);
    byDpi.clear();
  }
  ~FontHolder() { Clear(); }
};
FontHolder dialog_font;

template <typename Function>
Function SystemFunction(const char* name) {
  // Looked up: the program also runs on systems that lack the newer ones.
  return reinterpret_cast<Function>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// Without a manifest (a test program), or where the manifest's entries are
// unknown: per monitor v2, else per monitor, else the system's dpi.
void BecomeDpiAware() {
  using SetContext = BOOL(WINAPI*)(HANDLE);
  if (const auto set = SystemFunction<SetContext>("SetProcessDpiAwarenessContext")) {
    if (set(reinterpret_cast<HANDLE>(-4)))  // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
      return;
    if (GetLastError() == ERROR_ACCESS_DENIED) return;  // the manifest has decided
    if (set(reinterpret_cast<HANDLE>(-3))) return;      // ..._PER_MONITOR_AWARE
  }
  SetProcessDPIAware();
}

LRESULT CALLBACK WakeProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != kRunSynchronised) return DefWindowProcW(hwnd, message, wParam, lParam);
  // Cleared first: a call queued while these run posts again.
  wake_posted.store(false);
  RunGuarded(nullptr, [] { framework::CheckSynchronize(0); });
  return 0;
}

void Register(const wchar_t* name, WNDPROC proc, HBRUSH background, DWORD style) {
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.style = style;
  wc.lpfnWndProc = proc;
  wc.hInstance = Instance();
  wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  wc.hbrBackground = background;
  wc.lpszClassName = name;
  if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    throw std::runtime_error("Cannot register a window class");
}

// The Tab key in a form: the focus goes to the next (Shift: previous) tab stop.
bool MoveFocusOnTab(const MSG& msg) {
  if (msg.message != WM_KEYDOWN || msg.wParam != VK_TAB || !msg.hwnd) return false;
  HWND root = GetAncestor(msg.hwnd, GA_ROOT);
  Win32Peer* peer = root ? PeerOf(root) : nullptr;
  TForm* form = peer ? peer->AsForm() : nullptr;
  if (!form) return false;
  const bool back = (GetKeyState(VK_SHIFT) & 0x8000) != 0;
  if (TControl* next = form->NextTabStop(ControlOf(msg.hwnd), !back)) next->SetFocus();
  return true;
}

class Win32Session : public ToolkitSession {
 public:
  Win32Session() {
    framework::SetMainThread();
    // The reply wait takes no messages for up to 5 s by design; a window that
    // Windows ghosts meanwhile offers to end the program in mid-upload.
    DisableProcessWindowsGhosting();
    BecomeDpiAware();
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS};
    InitCommonControlsEx(&icc);
    Register(kFormClass, FormProc, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1),
             CS_HREDRAW | CS_VREDRAW);
    Register(kPanelClass, PanelProc, nullptr, CS_HREDRAW | CS_VREDRAW);
    Register(kWakeClass, WakeProc, nullptr, 0);
    wake_window = CreateWindowExW(0, kWakeClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  Instance(), nullptr);
    if (!wake_window) throw std::runtime_error("Cannot create the wake window");
  }
  ~Win32Session() override {
    DestroyWindow(wake_window);
    wake_window = nullptr;
  }
  Win32Session(const Win32Session&) = delete;
  Win32Session& operator=(const Win32Session&) = delete;
};

class Win32Application : public framework::Application {
 public:
  explicit Win32Application(Dialogs& dialogs) : dialogs_(dialogs) {
    framework::SetApplication(this);
  }
  ~Win32Application() override {
    if (&framework::App() == this) framework::SetApplication(nullptr);
  }
  Win32Application(const Win32Application&) = delete;
  Win32Application& operator=(const Win32Application&) = delete;

  // Every message waiting, then the synchronised calls still queued.
  void ProcessMessages() override {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that waits for it
        break;
      }
      PumpMessage(msg);
    }
    framework::CheckSynchronize(0);
  }
  void ShowException(const std::string& message) override { dialogs_.ShowError(message); }
  // Any thread: one posted message at a time wakes the loop, or a modal
  // dialog's loop, to run the queue.
  void WakeMainThread() override {
    if (!wake_window || wake_posted.exchange(true)) return;
    if (!PostMessageW(wake_window, kRunSynchronised, 0, 0)) wake_posted.store(false);
  }

 private:
  Dialogs& dialogs_;
};

}  // namespace

HINSTANCE Instance() {
  return GetModuleHandleW(nullptr);
}

HFONT DialogFont(int dpi) {
  if (dialog_font.points == 0) dialog_font.points = 8;
  for (const auto& f : dialog_font.byDpi)
    if (f.first == dpi) return f.second;
  LOGFONTW f{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof f, &f);
  f.lfHeight = -MulDiv(dialog_font.points, dpi, 72);
  f.lfWidth = 0;
  HFONT made = CreateFontIndirectW(&f);
  if (!made) return static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  dialog_font.byDpi.emplace_back(dpi, made);
  return made;
}

void SetDialogFontSize(int points) {
  if (points <= 0 || dialog_font.points == points) return;
  dialog_font.Clear();
  dialog_font.points = points;
}

int DialogFontSize() {
  return dialog_font.points == 0 ? 8 : dialog_font.points;
}

int SystemDpi(HWND hwnd) {
  using GetDpi = UINT(WINAPI*)(HWND);
  static const auto getDpiForWindow = SystemFunction<GetDpi>("GetDpiForWindow");
  if (getDpiForWindow && hwnd)
    if (const UINT dpi = getDpiForWindow(hwnd)) return static_cast<int>(dpi);
  HDC dc = GetDC(hwnd);
  const int dpi = dc ? GetDeviceCaps(dc, LOGPIXELSY) : 0;
  if (dc) ReleaseDC(hwnd, dc);
  return dpi > 0 ? dpi : 96;
}

bool AdjustFrameForDpi(RECT& r, DWORD style, int dpi) {
  using Adjust = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
  static const auto adjust = SystemFunction<Adjust>("AdjustWindowRectExForDpi");
  if (adjust) return adjust(&r, style, FALSE, 0, static_cast<UINT>(dpi)) != 0;
  return AdjustWindowRectEx(&r, style, FALSE, 0) != 0;
}

void PumpMessage(MSG& msg) {
  if (MoveFocusOnTab(msg)) return;
  TranslateMessage(&msg);
  DispatchMessageW(&msg);
}

}  // namespace forms::win32

namespace forms {

std::unique_ptr<ToolkitSession> StartToolkit(int& /*argc*/, char** /*argv*/) {
  return std::make_unique<win32::Win32Session>();
}

std::unique_ptr<framework::Application> CreateApplicationSeam(Dialogs& errors) {
  return std::make_unique<win32::Win32Application>(errors);
}

std::unique_ptr<Dialogs> CreateSystemDialogs() {
  return std::make_unique<win32::Win32Dialogs>();
}

int RunMessageLoop() {
  MSG msg;
  BOOL got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0) {
    if (got == -1) return 1;
    win32::PumpMessage(msg);
  }
  return static_cast<int>(msg.wParam);
}

}  // namespace forms
