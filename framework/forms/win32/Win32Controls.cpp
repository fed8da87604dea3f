// The controls layer on native Win32 controls. Every window's user data is
// its counterpart; the form and panels pass their children's notifications
// (WM_COMMAND) to the counterpart of the child that sent them.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <vector>

#include "framework/forms/win32/Win32Toolkit.h"

namespace forms::win32 {

namespace {

HWND main_window = nullptr;

HWND HandleOf(const TControl& control) {
  return static_cast<HWND>(control.Native().Handle());
}

LONG_PTR Style(HWND h) {
  return GetWindowLongPtrW(h, GWL_STYLE);
}

// A child control on parent's window: above its earlier siblings, clipped by
// them, in the dialog font.
HWND CreateChild(const wchar_t* windowClass, const std::wstring& text, DWORD style, DWORD exStyle,
                 TControl& parent) {
  HWND h = CreateWindowExW(exStyle, windowClass, text.c_str(),
                           WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | style, 0, 0, 0, 0,
                           HandleOf(parent), nullptr, Instance(), nullptr);
  if (!h) throw std::runtime_error("Cannot create a control window");
  SetWindowPos(h, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  SendMessageW(h, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont(WindowDpi(h))), FALSE);
  return h;
}

template <typename Interface>
class Peer : public Interface, public Win32Peer {
 public:
  Peer(TControl& owner, HWND hwnd) : owner_(owner), h_(hwnd) {
    SetWindowLongPtrW(h_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(static_cast<Win32Peer*>(this)));
  }
  ~Peer() override {
    if (IsWindow(h_)) {
      SetWindowLongPtrW(h_, GWLP_USERDATA, 0);
      DestroyWindow(h_);
    }
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  TControl& Owner() const override { return owner_; }
  void* Handle() const override { return h_; }
  void* ParentHandle() const override { return GetAncestor(h_, GA_PARENT); }
  // In design units: the place given, while the window is where that puts
  // it at its dpi; else the window's place scaled back.
  TRect Bounds() const override {
    RECT r{};
    GetWindowRect(h_, &r);
    MapWindowPoints(HWND_DESKTOP, GetAncestor(h_, GA_PARENT), reinterpret_cast<POINT*>(&r), 2);
    const TRect actual{r.left, r.top, r.right - r.left, r.bottom - r.top};
    const int dpi = WindowDpi(h_);
    if (design_ && Same(Device(*design_, dpi), actual)) return *design_;
    return {ToDesign(actual.Left, dpi), ToDesign(actual.Top, dpi), ToDesign(actual.Width, dpi),
            ToDesign(actual.Height, dpi)};
  }
  void SetBounds(const TRect& b) override {
    design_ = b;
    Place(b, WindowDpi(h_));
  }
  void Rescale(int dpi) override {
    SendMessageW(h_, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont(dpi)), TRUE);
    if (design_) Place(*design_, dpi);
  }
  bool Enabled() const override { return IsWindowEnabled(h_) != FALSE; }
  void SetEnabled(bool enabled) override { EnableWindow(h_, enabled ? TRUE : FALSE); }
  bool TakesFocus() const override { return (Style(h_) & WS_TABSTOP) != 0; }
  bool HasFocus() const override {
    HWND focused = GetFocus();
    return focused && (focused == h_ || IsChild(h_, focused));
  }
  void SetFocus() override { ::SetFocus(h_); }

 protected:
  static TRect Device(const TRect& b, int dpi) {
    return {ToDevice(b.Left, dpi), ToDevice(b.Top, dpi), ToDevice(b.Width, dpi),
            ToDevice(b.Height, dpi)};
  }
  static bool Same(const TRect& a, const TRect& b) {
    return a.Left == b.Left && a.Top == b.Top && a.Width == b.Width && a.Height == b.Height;
  }
  // Puts the window where the design's place is at dpi.
  virtual void Place(const TRect& b, int dpi) {
    const TRect d = Device(b, dpi);
    MoveWindow(h_, d.Left, d.Top, d.Width, d.Height, TRUE);
  }

  TControl& owner_;
  HWND h_;
  std::optional<TRect> design_;
};

class Win32Form : public Peer<NativeForm> {
 public:
  explicit Win32Form(TForm& owner)
      : Peer(owner,
             CreateWindowExW(0, kFormClass, L"", kStyle, CW_USEDEFAULT, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, Instance(), nullptr)),
        form_(owner) {
    if (!h_) throw std::runtime_error("Cannot create the form's window");
    if (!main_window) main_window = h_;
    dpi_ = SystemDpi(h_);
    SendMessageW(h_, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont(dpi_)), FALSE);
  }
  ~Win32Form() override {
    if (main_window == h_) main_window = nullptr;
  }

  TForm* AsForm() override { return &form_; }
  int Dpi() const override { return dpi_; }
  void* ParentHandle() const override { return nullptr; }
  std::string Caption() const override { return Narrow(WindowText(h_)); }
  void SetCaption(const std::string& caption) override {
    SetWindowTextW(h_, Widen(caption).c_str());
  }
  TPoint Position() const override {
    RECT r{};
    GetWindowRect(h_, &r);
    return {r.left, r.top};
  }
  void SetPosition(TPoint p) override {
    SetWindowPos(h_, nullptr, p.X, p.Y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  TRect ClientRect() const override {
    RECT r{};
    GetClientRect(h_, &r);
    return {0, 0, ToDesign(r.right, dpi_), ToDesign(r.bottom, dpi_)};
  }
  void SetClientSize(int width, int height) override {
    RECT r{0, 0, ToDevice(width, dpi_), ToDevice(height, dpi_)};
    AdjustFrameForDpi(r, kStyle, dpi_);
    SetWindowPos(h_, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  TFont Font() const override {
    LOGFONTW f{};
    GetObjectW(DialogFont(dpi_), sizeof f, &f);
    return {Narrow(f.lfFaceName), DialogFontSize()};
  }
  void SetFont(const TFont& font) override {
    // The system's dialog font stands in for the design's face.
    SetDialogFontSize(font.Size);
    SendMessageW(h_, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont(dpi_)), FALSE);
  }
  // The window moved to a screen of another dpi (or the setting changed):
  // every control's font and place again, then the frame the system proposes,
  // whose resize lays the controls out anew.
  void DpiChanged(int dpi, const RECT& proposed) {
    if (dpi <= 0) return;
    dpi_ = dpi;
    SendMessageW(h_, WM_SETFONT, reinterpret_cast<WPARAM>(DialogFont(dpi_)), FALSE);
    EnumChildWindows(
        h_,
        [](HWND child, LPARAM newDpi) {
          if (Win32Peer* peer = PeerOf(child)) peer->Rescale(static_cast<int>(newDpi));
          return TRUE;
        },
        dpi_);
    SetWindowPos(h_, nullptr, proposed.left, proposed.top, proposed.right - proposed.left,
                 proposed.bottom - proposed.top, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(h_, nullptr, TRUE);
  }
  void Show() override {
    ShowWindow(h_, SW_SHOWNORMAL);
    UpdateWindow(h_);
  }
  bool Visible() const override { return IsWindowVisible(h_) != FALSE; }
  void Close() override { SendMessageW(h_, WM_CLOSE, 0, 0); }
  TControl* ControlAt(TPoint p) const override {
    HWND current = h_;
    POINT pt{ToDevice(p.X, dpi_), ToDevice(p.Y, dpi_)};
    for (;;) {
      HWND child = ChildWindowFromPointEx(current, pt, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
      if (!child || child == current) break;
      MapWindowPoints(current, child, &pt, 1);
      current = child;
    }
    TControl* control = ControlOf(current);
    return control == &owner_ ? nullptr : control;
  }
  TControl* FocusedControl() const override {
    HWND focused = GetFocus();
    if (!focused || !IsChild(h_, focused)) return nullptr;
    return ControlOf(focused);
  }
  // The message loop moves the focus in the layer's tab order itself.
  void SetTabOrder(const std::vector<TControl*>& /*stops*/) override {}

 private:
  static constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
  TForm& form_;
  int dpi_ = 96;
};

class Win32Panel : public Peer<NativePanel> {
 public:
  Win32Panel(TPanel& owner, TControl& parent)
      : Peer(owner, CreateChild(kPanelClass, L"", WS_CLIPCHILDREN, WS_EX_CONTROLPARENT, parent)) {}
  std::string Caption() const override { return Narrow(WindowText(h_)); }
  void SetCaption(const std::string& caption) override {
    SetWindowTextW(h_, Widen(caption).c_str());
    InvalidateRect(h_, nullptr, TRUE);
  }
  TBevelCut BevelOuter() const override { return bevel_; }
  int BevelWidth() const override { return bevel_width_; }
  void SetBevel(TBevelCut outer, int width) override {
    bevel_ = outer;
    bevel_width_ = width;
    InvalidateRect(h_, nullptr, TRUE);
  }

  // The panel's face: button colour, the bevel, the caption in the middle.
  void Paint(HDC dc) const {
    RECT r{};
    GetClientRect(h_, &r);
    FillRect(dc, &r, GetSysColorBrush(COLOR_BTNFACE));
    if (bevel_ != TBevelCut::bvNone) {
      const UINT edge = bevel_ == TBevelCut::bvRaised ? BDR_RAISEDINNER : BDR_SUNKENOUTER;
      for (int i = 0; i < bevel_width_; ++i) {
        DrawEdge(dc, &r, edge, BF_RECT);
        InflateRect(&r, -1, -1);
      }
    }
    const std::wstring caption = WindowText(h_);
    if (caption.empty()) return;
    HGDIOBJ old = SelectObject(dc, DialogFont(WindowDpi(h_)));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
    DrawTextW(dc, caption.c_str(), static_cast<int>(caption.size()), &r,
              DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    SelectObject(dc, old);
  }

 private:
  TBevelCut bevel_ = TBevelCut::bvRaised;
  int bevel_width_ = 1;
};

class Win32Button : public Peer<NativeButton> {
 public:
  Win32Button(TButton& owner, TControl& parent, const std::string& caption)
      : Peer(owner, CreateChild(L"BUTTON", Widen(caption), BS_PUSHBUTTON | WS_TABSTOP, 0, parent)) {
  }
  std::string Caption() const override { return Narrow(WindowText(h_)); }
};

class Win32CheckBox : public Peer<NativeCheckBox> {
 public:
  // BS_AUTOCHECKBOX: the operator's click toggles the box before BN_CLICKED.
  Win32CheckBox(TCheckBox& owner, TControl& parent, const std::string& caption)
      : Peer(owner,
             CreateChild(L"BUTTON", Widen(caption), BS_AUTOCHECKBOX | WS_TABSTOP, 0, parent)) {}
  std::string Caption() const override { return Narrow(WindowText(h_)); }
  bool Checked() const override { return SendMessageW(h_, BM_GETCHECK, 0, 0) == BST_CHECKED; }
  // BM_SETCHECK sends no notification.
  void SetChecked(bool checked) override {
    SendMessageW(h_, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  }
};

class Win32ComboBox : public Peer<NativeComboBox> {
 public:
  Win32ComboBox(TComboBox& owner, TControl& parent)
      : Peer(owner,
             CreateChild(L"COMBOBOX", L"", CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP,
                         0, parent)) {}
  // The height given is the edit field's; the window also spans the list.
  void Place(const TRect& b, int dpi) override {
    const TRect d = Device(b, dpi);
    // The closed height is the edit field's and the system's frame around
    // it: the field is set, the whole measured, and the field corrected.
    int field = d.Height - 6;
    for (int pass = 0; pass < 3 && field > 0; ++pass) {
      SendMessageW(h_, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field);
      RECT r{};
      GetWindowRect(h_, &r);
      const int off = d.Height - (r.bottom - r.top);
      if (off == 0) break;
      field += off;
    }
    const int listHeight = ToDevice(item_height_, dpi) * std::max(1, std::min(8, Count())) + 2;
    MoveWindow(h_, d.Left, d.Top, d.Width, d.Height + listHeight, TRUE);
  }
  std::vector<std::string> Items() const override {
    std::vector<std::string> items;
    const int n = Count();
    for (int i = 0; i < n; ++i) {
      const auto length = SendMessageW(h_, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
      std::wstring text(static_cast<std::size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
      const auto got = SendMessageW(h_, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                    reinterpret_cast<LPARAM>(text.data()));
      text.resize(static_cast<std::size_t>(std::max<LRESULT>(got, 0)));
      items.push_back(Narrow(text));
    }
    return items;
  }
  void SetItems(const std::vector<std::string>& items) override {
    SendMessageW(h_, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : items) {
      const std::wstring text = Widen(item);
      SendMessageW(h_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
  }
  int CurrentIndex() const override {
    const auto index = SendMessageW(h_, CB_GETCURSEL, 0, 0);
    return index == CB_ERR ? -1 : static_cast<int>(index);
  }
  void SetCurrentIndex(int index) override {
    SendMessageW(h_, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
  }
  std::string Text() const override { return Narrow(WindowText(h_)); }
  bool Editable() const override { return (Style(h_) & 0x3) != CBS_DROPDOWNLIST; }
  void SetItemHeight(int pixels) override {
    item_height_ = pixels;
    item_height_set_ = true;
    SendMessageW(h_, CB_SETITEMHEIGHT, 0, ToDevice(pixels, WindowDpi(h_)));
  }
  void Rescale(int dpi) override {
    if (item_height_set_) SendMessageW(h_, CB_SETITEMHEIGHT, 0, ToDevice(item_height_, dpi));
    Peer::Rescale(dpi);
  }

 private:
  int Count() const { return static_cast<int>(SendMessageW(h_, CB_GETCOUNT, 0, 0)); }
  int item_height_ = 13;
  bool item_height_set_ = false;
};

// "\n" in the layer, "\r\n" in an edit control.
std::wstring ToEditText(const std::string& text) {
  std::wstring out;
  for (const wchar_t c : Widen(text)) {
    if (c == L'\r') continue;
    if (c == L'\n') out += L'\r';
    out += c;
  }
  return out;
}

class Win32Memo : public Peer<NativeMemo> {
 public:
  // No ES_AUTOHSCROLL and no scroll bars: long lines wrap at the width.
  Win32Memo(TMemo& owner, TControl& parent)
      : Peer(owner,
             CreateChild(L"EDIT", L"", ES_MULTILINE | ES_WANTRETURN | ES_AUTOVSCROLL | WS_TABSTOP,
                         WS_EX_CLIENTEDGE, parent)) {
    SendMessageW(h_, EM_SETLIMITTEXT, 0, 0);  // the log of a whole image exceeds the default
  }
  std::string Text() const override {
    std::string text = Narrow(WindowText(h_));
    std::erase(text, '\r');
    return text;
  }
  void SetText(const std::string& text) override { SetWindowTextW(h_, ToEditText(text).c_str()); }
  void AppendLines(const std::vector<std::string>& lines) override {
    const int length = GetWindowTextLengthW(h_);
    std::string joined;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      if (i > 0 || length > 0) joined += '\n';
      joined += lines[i];
    }
    const std::wstring text = ToEditText(joined);
    SendMessageW(h_, EM_SETSEL, static_cast<WPARAM>(length), length);
    SendMessageW(h_, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str()));
  }
  bool WordWrap() const override { return (Style(h_) & (ES_AUTOHSCROLL | WS_HSCROLL)) == 0; }
  bool HasScrollBars() const override { return (Style(h_) & (WS_HSCROLL | WS_VSCROLL)) != 0; }
  bool ReadOnly() const override { return (Style(h_) & ES_READONLY) != 0; }
};

class Win32ProgressBar : public Peer<NativeProgressBar> {
 public:
  Win32ProgressBar(TProgressBar& owner, TControl& parent)
      : Peer(owner, CreateChild(PROGRESS_CLASSW, L"", 0, 0, parent)) {}
  int Min() const override { return static_cast<int>(SendMessageW(h_, PBM_GETRANGE, TRUE, 0)); }
  int Max() const override { return static_cast<int>(SendMessageW(h_, PBM_GETRANGE, FALSE, 0)); }
  int Position() const override { return static_cast<int>(SendMessageW(h_, PBM_GETPOS, 0, 0)); }
  void SetRange(int min, int max) override { SendMessageW(h_, PBM_SETRANGE32, min, max); }
  void SetPosition(int position) override { SendMessageW(h_, PBM_SETPOS, position, 0); }
};

// A notification from a child control: a button's or a check box's click.
void Command(WPARAM wParam, LPARAM lParam) {
  const auto sender = reinterpret_cast<HWND>(lParam);
  if (!sender || HIWORD(wParam) != BN_CLICKED) return;
  if (Win32Peer* peer = PeerOf(sender)) peer->Owner().Click();
}

}  // namespace

HWND MainWindow() {
  return main_window;
}

int WindowDpi(HWND hwnd) {
  // Only a window of the form's class carries a form behind it.
  HWND root = hwnd ? GetAncestor(hwnd, GA_ROOT) : nullptr;
  wchar_t name[32] = {};
  if (root && GetClassNameW(root, name, 32) && lstrcmpW(name, kFormClass) == 0)
    if (Win32Peer* peer = PeerOf(root))
      if (const int dpi = peer->Dpi()) return dpi;
  return SystemDpi(hwnd);
}

Win32Peer* PeerOf(HWND hwnd) {
  return reinterpret_cast<Win32Peer*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
}

TControl* ControlOf(HWND hwnd) {
  for (; hwnd; hwnd = GetAncestor(hwnd, GA_PARENT)) {
    // Only our own windows and the standard controls we made carry a counterpart.
    if (Win32Peer* peer = PeerOf(hwnd)) return &peer->Owner();
    if (!(GetWindowLongPtrW(hwnd, GWL_STYLE) & WS_CHILD)) break;
  }
  return nullptr;
}

LRESULT CALLBACK FormProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      Command(wParam, lParam);
      return 0;
    case WM_SIZE:
      if (Win32Peer* peer = PeerOf(hwnd))
        if (TForm* form = peer->AsForm()) RunGuarded(form, [form] { form->NativeResized(); });
      return 0;
    case WM_DPICHANGED:
      if (auto* form = dynamic_cast<Win32Form*>(PeerOf(hwnd)))
        form->DpiChanged(LOWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
      return 0;
    case WM_CLOSE:
      // Asked during an upload: carried out when the run has ended.
      if (Win32Peer* peer = PeerOf(hwnd))
        if (TForm* form = peer->AsForm(); form && !form->CloseAsked()) return 0;
      // The form object outlives its window's end: hide it and end the loop.
      ShowWindow(hwnd, SW_HIDE);
      PostQuitMessage(0);
      return 0;
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

LRESULT CALLBACK PanelProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      Command(wParam, lParam);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // painted whole in WM_PAINT
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(hwnd, &ps);
      if (auto* panel = dynamic_cast<Win32Panel*>(PeerOf(hwnd))) panel->Paint(dc);
      EndPaint(hwnd, &ps);
      return 0;
    }
    default:
      return DefWindowProcW(hwnd, message, wParam, lParam);
  }
}

}  // namespace forms::win32

namespace forms {

using namespace win32;

std::unique_ptr<NativeForm> CreateNativeForm(TForm& owner) {
  return std::make_unique<Win32Form>(owner);
}
std::unique_ptr<NativePanel> CreateNativePanel(TPanel& owner, TControl& parent) {
  return std::make_unique<Win32Panel>(owner, parent);
}
std::unique_ptr<NativeButton> CreateNativeButton(TButton& owner, TControl& parent,
                                                 const std::string& caption) {
  return std::make_unique<Win32Button>(owner, parent, caption);
}
std::unique_ptr<NativeCheckBox> CreateNativeCheckBox(TCheckBox& owner, TControl& parent,
                                                     const std::string& caption) {
  return std::make_unique<Win32CheckBox>(owner, parent, caption);
}
std::unique_ptr<NativeComboBox> CreateNativeComboBox(TComboBox& owner, TControl& parent) {
  return std::make_unique<Win32ComboBox>(owner, parent);
}
std::unique_ptr<NativeMemo> CreateNativeMemo(TMemo& owner, TControl& parent) {
  return std::make_unique<Win32Memo>(owner, parent);
}
std::unique_ptr<NativeProgressBar> CreateNativeProgressBar(TProgressBar& owner, TControl& parent) {
  return std::make_unique<Win32ProgressBar>(owner, parent);
}

}  // namespace forms
