// The window at the screen's dots per inch: every control where its 96-dpi
// design puts it, scaled, in a font of the same scale. The runner also starts
// these at 144 dpi (COMFLASH_TEST_DPI=144, Wine's LogPixels), where the
// design must come out at 1.5 times its size.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "framework/forms/Native.h"
#include "framework/forms/win32/Win32Toolkit.h"
#include "tests/app/FormFixture.h"

namespace {

using forms::TControl;
using forms::TRect;
using guitest::FormTest;

HWND HandleOf(const TControl& c) {
  return static_cast<HWND>(c.Native().Handle());
}

// The window's place in its parent's client area, in device pixels.
TRect DeviceBounds(const TControl& c) {
  RECT r{};
  HWND h = HandleOf(c);
  GetWindowRect(h, &r);
  MapWindowPoints(HWND_DESKTOP, GetAncestor(h, GA_PARENT), reinterpret_cast<POINT*>(&r), 2);
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

int Scaled(int v, int dpi) {
  return MulDiv(v, dpi, 96);
}

// The dpi the runner set for this pass, or 0.
int ExpectedDpi() {
  const char* v = std::getenv("COMFLASH_TEST_DPI");
  return v ? std::atoi(v) : 0;
}

void ExpectScaled(const TControl& c, int dpi, bool withHeight, const std::string& name) {
  SCOPED_TRACE(name);
  const TRect design = c.BoundsRect();
  const TRect device = DeviceBounds(c);
  EXPECT_EQ(device.Left, Scaled(design.Left, dpi));
  EXPECT_EQ(device.Top, Scaled(design.Top, dpi));
  EXPECT_EQ(device.Width, Scaled(design.Width, dpi));
  if (withHeight) {
    EXPECT_EQ(device.Height, Scaled(design.Height, dpi));
  }
}

using WindowDpi = FormTest;

TEST_F(WindowDpi, TheDesignIsLaidOutAtTheWindowsDpi) {
  TForm1& f = Create();
  const int dpi = forms::win32::WindowDpi(HandleOf(f));
  if (const int expected = ExpectedDpi()) {
    ASSERT_EQ(dpi, expected) << "the screen's setting";
  }
  RECT client{};
  GetClientRect(HandleOf(f), &client);
  EXPECT_EQ(client.right, Scaled(348, dpi));
  EXPECT_EQ(client.bottom, Scaled(571, dpi));
  EXPECT_EQ(f.ClientWidth(), 348) << "the layer keeps its design units";
  EXPECT_EQ(f.ClientHeight(), 571);
  ExpectScaled(*f.Panel1, dpi, true, "Panel1");
  ExpectScaled(*f.Panel2, dpi, true, "Panel2");
  ExpectScaled(*f.Memo1, dpi, true, "Memo1");
  ExpectScaled(*f.ProgressBar1, dpi, true, "ProgressBar1");
  ExpectScaled(*f.Button1, dpi, true, "Button1");
  ExpectScaled(*f.Button3, dpi, true, "Button3");
  ExpectScaled(*f.Button4, dpi, true, "Button4");
  ExpectScaled(*f.CheckBox1, dpi, true, "CheckBox1");
  ExpectScaled(*f.ComboBox1, dpi, true, "ComboBox1");
  EXPECT_EQ(f.Memo1->BoundsRect(), (TRect{1, 40, 346, 481}));
}

TEST_F(WindowDpi, TheFontIsTheDesignsSizeAtTheWindowsDpi) {
  TForm1& f = Create();
  const int dpi = forms::win32::WindowDpi(HandleOf(f));
  for (const TControl* c :
       {static_cast<const TControl*>(f.Button3), static_cast<const TControl*>(f.CheckBox1),
        static_cast<const TControl*>(f.Memo1)}) {
    const auto font = reinterpret_cast<HFONT>(SendMessageW(HandleOf(*c), WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    LOGFONTW lf{};
    GetObjectW(font, sizeof lf, &lf);
    EXPECT_EQ(lf.lfHeight, -MulDiv(8, dpi, 72));
  }
  EXPECT_EQ(f.Font().Size, 8);
}

// Moved to a screen of twice the dpi: the system sends WM_DPICHANGED with the
// frame it proposes, and the window follows.
TEST_F(WindowDpi, AChangeOfDpiLaysTheWindowOutAgain) {
  TForm1& f = Create();
  HWND h = HandleOf(f);
  const int dpi = forms::win32::WindowDpi(h) * 2;
  RECT frame{0, 0, Scaled(348, dpi), Scaled(571, dpi)};
  forms::win32::AdjustFrameForDpi(frame, static_cast<DWORD>(GetWindowLongPtrW(h, GWL_STYLE)), dpi);
  OffsetRect(&frame, 100 - frame.left, 100 - frame.top);
  SendMessageW(h, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&frame));
  EXPECT_EQ(forms::win32::WindowDpi(h), dpi);
  ExpectScaled(*f.Panel2, dpi, true, "Panel2");
  ExpectScaled(*f.Memo1, dpi, true, "Memo1");
  ExpectScaled(*f.Button3, dpi, true, "Button3");
  const auto font = reinterpret_cast<HFONT>(SendMessageW(HandleOf(*f.Button3), WM_GETFONT, 0, 0));
  LOGFONTW lf{};
  GetObjectW(font, sizeof lf, &lf);
  EXPECT_EQ(lf.lfHeight, -MulDiv(8, dpi, 72));
}

}  // namespace
