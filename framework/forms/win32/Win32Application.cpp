// The toolkit's session on Win32: window classes, the dialog font, the wake
// window that runs queued synchronised calls, the message loop, and the
// application seam bound to them.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <atomic>
#include <stdexcept>

#include "framework/MainThreadQueue.h"
#include "framework/forms/win32/Win32Dialogs.h"
#include "framework/forms/win32/Win32Toolkit.h"

namespace forms::win32 {

namespace {

HWND wake_window = nullptr;
std::atomic<bool> wake_posted{false};

// The dialog font, recreated when a form asks for another size.
struct FontHolder {
  HFONT font = nullptr;
  int points = 0;
  ~FontHolder() {
    if (font) DeleteObject(font);
  }
};
FontHolder dialog_font;

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

HFONT DialogFont() {
  if (!dialog_font.font) SetDialogFontSize(8);
  return dialog_font.font;
}

void SetDialogFontSize(int points) {
  if (dialog_font.font && dialog_font.points == points) return;
  LOGFONTW f{};
  GetObjectW(GetStockObject(DEFAULT_GUI_FONT), sizeof f, &f);
  f.lfHeight = -MulDiv(points, 96, 72);  // pixels at 96 dots per inch
  f.lfWidth = 0;
  HFONT made = CreateFontIndirectW(&f);
  if (!made) return;
  if (dialog_font.font) DeleteObject(dialog_font.font);
  dialog_font.font = made;
  dialog_font.points = points;
}

int DialogFontSize() {
  DialogFont();
  return dialog_font.points;
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
