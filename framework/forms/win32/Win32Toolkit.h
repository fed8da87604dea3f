// What the Win32 back end's files share: text conversion, the window classes,
// the dialog font, and the counterpart behind each window.
#pragma once

#include <windows.h>

#include <string>

#include "framework/forms/Controls.h"
#include "framework/forms/Forms.h"
#include "framework/forms/Native.h"
#include "framework/forms/StdCtrls.h"

namespace forms::win32 {

// UTF-8 sources, UTF-16 windows.
std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);
std::wstring WindowText(HWND hwnd);

// Registered by StartToolkit.
inline constexpr wchar_t kFormClass[] = L"comflashForm";
inline constexpr wchar_t kPanelClass[] = L"comflashPanel";
inline constexpr wchar_t kWakeClass[] = L"comflashWake";

// The message a queued synchronised call posts to the wake window.
inline constexpr UINT kRunSynchronised = WM_APP + 1;

HINSTANCE Instance();
// The program's main window, the first form's: the owner of its boxes and
// dialogs, whichever program the operator is in (nullptr before it).
HWND MainWindow();
// The system's dialog font at the size last given to a form (8 points until
// then), for a window of the given dots per inch.
HFONT DialogFont(int dpi);
void SetDialogFontSize(int points);
int DialogFontSize();

// The layer's sizes and places are those of a 96-dpi design; a window shows
// them at its own dpi.
inline int ToDevice(int v, int dpi) {
  return MulDiv(v, dpi, 96);
}
inline int ToDesign(int v, int dpi) {
  return MulDiv(v, 96, dpi);
}
// A window's dots per inch: its form's (kept up to date by WM_DPICHANGED).
int WindowDpi(HWND hwnd);
// What the system says for a window: GetDpiForWindow where there is one,
// else the screen's LOGPIXELSY.
int SystemDpi(HWND hwnd);
// AdjustWindowRectEx at a dpi where the system can (Windows 10 1607+).
bool AdjustFrameForDpi(RECT& r, DWORD style, int dpi);

// The counterpart of every window the back end made, kept in the window's user data.
class Win32Peer {
 public:
  virtual ~Win32Peer() = default;
  virtual TControl& Owner() const = 0;
  virtual TForm* AsForm() { return nullptr; }
  // The form's dots per inch; 0 for the other controls.
  virtual int Dpi() const { return 0; }
  // After a change of dpi: the font and the place again, from the design.
  virtual void Rescale(int /*dpi*/) {}
};
Win32Peer* PeerOf(HWND hwnd);
// The layer control a window belongs to: its own or its nearest ancestor's.
TControl* ControlOf(HWND hwnd);

// One message of a message loop: the Tab key moves the focus in the layer's
// tab order, everything else is translated and dispatched.
void PumpMessage(MSG& msg);

// Window procedures of the form and the panel.
LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace forms::win32
