// The window as it starts, its layout and its resizing, and the clear button.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "framework/forms/Native.h"
#include "tests/app/FormFixture.h"

namespace {

using forms::TBevelCut;
using forms::TControl;
using forms::TPoint;
using forms::TRect;
using guitest::FormTest;
using guitest::OperatorClick;

TPoint Center(const TRect& r) {
  return {r.Left + r.Width / 2, r.Top + r.Height / 2};
}

// The toolkit's parent of a control's native counterpart.
bool NativeParentIs(const TControl& child, const TControl& parent) {
  return child.Native().ParentHandle() == parent.Native().Handle();
}

class MainWindow : public FormTest {
 protected:
  void ResizeTo(int w, int h) {
    form->SetClientSize(w, h);
    guitest::ProcessEvents();
    ASSERT_EQ(form->ClientWidth(), w);
    ASSERT_EQ(form->ClientHeight(), h);
  }
  // The controls that must never move or change size.
  void ExpectFixedControls() {
    EXPECT_EQ(form->ComboBox1->BoundsRect(), (TRect{0, 8, 145, 21}));
    EXPECT_EQ(form->CheckBox1->BoundsRect(), (TRect{152, 8, 49, 17}));
    EXPECT_EQ(form->Button4->BoundsRect(), (TRect{208, 2, 35, 25}));
    EXPECT_EQ(form->Button1->BoundsRect(), (TRect{264, 2, 59, 25}));
    EXPECT_EQ(form->Button3->BoundsRect(), (TRect{8, 8, 321, 25}));
  }
};

TEST_F(MainWindow, StartsSwitchedOffWithTheDesignedContents) {
  TForm1& f = Create();
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_TRUE(f.ComboBox1->Editable());
  EXPECT_EQ(f.ComboBox1->Text(), "COM3");
  EXPECT_EQ(f.ComboBox1->ItemIndex(), 2);
  const std::vector<std::string> items = f.ComboBox1->Items();
  ASSERT_EQ(items.size(), 9u);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(items[i], "COM" + std::to_string(i + 1));
  EXPECT_EQ(f.Memo1->Text(), "Memo1");
  EXPECT_FALSE(f.Memo1->ReadOnly());
  EXPECT_TRUE(f.Memo1->WordWrap());
  EXPECT_FALSE(f.Memo1->HasScrollBars());
  EXPECT_EQ(f.ProgressBar1->Min(), 10);
  EXPECT_EQ(f.ProgressBar1->Max(), 127);
  EXPECT_EQ(f.ProgressBar1->Position(), 10);
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.Caption(), "ООО \"ЛЕМБРОН\" ");
  EXPECT_EQ(f.CheckBox1->Caption(), "Вкл.");
  EXPECT_EQ(f.Button1->Caption(), "Файл");
  EXPECT_EQ(f.Button3->Caption(), "Загрузить");
  EXPECT_EQ(f.Button4->Caption(), "clr");
  EXPECT_TRUE(f.Panel1->Caption().empty());
  EXPECT_EQ(f.Panel2->Caption(), "Panel2");
  EXPECT_EQ(f.Font().Size, 8);
  EXPECT_TRUE(dialogs.messages.empty());
  EXPECT_TRUE(dialogs.errors.empty());
}

TEST_F(MainWindow, PortCarriesTheDesignSettingsAndStaysClosed) {
  TForm1& f = Create(fake);
  const serial::TVaComm& port = *f.VaComm1;
  EXPECT_EQ(port.Baudrate(), serial::br115200);
  EXPECT_EQ(port.Databits(), serial::db8);
  EXPECT_EQ(port.Parity(), serial::paNone);
  EXPECT_EQ(port.Stopbits(), serial::sb1);
  serial::TVaFlowControl& flow = f.VaComm1->FlowControl();
  EXPECT_FALSE(flow.OutCtsFlow());
  EXPECT_FALSE(flow.OutDsrFlow());
  EXPECT_EQ(flow.ControlDtr(), serial::dtrDisabled);
  EXPECT_EQ(flow.ControlRts(), serial::rtsDisabled);
  EXPECT_FALSE(flow.XonXoffOut());
  EXPECT_FALSE(flow.XonXoffIn());
  EXPECT_FALSE(flow.DsrSensitivity());
  EXPECT_FALSE(flow.TxContinueOnXoff());
  EXPECT_EQ(port.DeviceName(), "\\\\.\\COM4");
  EXPECT_EQ(port.Version(), "1.8.0.0");
  EXPECT_FALSE(port.AutoOpen());
  EXPECT_TRUE(fake.CallsNamed({"CreateFileA"}).empty()) << "nothing opened at start";
}

TEST_F(MainWindow, ControlsSitWhereDesigned) {
  TForm1& f = Create();
  EXPECT_EQ(f.Position(), (TPoint{196, 118}));
  EXPECT_EQ(f.ClientWidth(), 348);
  EXPECT_EQ(f.ClientHeight(), 571);
  EXPECT_TRUE(NativeParentIs(*f.Panel1, f));
  EXPECT_EQ(f.Panel1->BoundsRect(), (TRect{0, 0, 348, 33}));
  EXPECT_EQ(f.Panel1->BevelOuter(), TBevelCut::bvNone);
  EXPECT_TRUE(NativeParentIs(*f.ComboBox1, *f.Panel1));
  EXPECT_TRUE(NativeParentIs(*f.CheckBox1, *f.Panel1));
  EXPECT_TRUE(NativeParentIs(*f.Button4, *f.Panel1));
  EXPECT_TRUE(NativeParentIs(*f.Button1, f));
  EXPECT_TRUE(NativeParentIs(*f.ProgressBar1, f));
  EXPECT_EQ(f.ProgressBar1->BoundsRect(), (TRect{0, 555, 348, 16}));
  EXPECT_TRUE(NativeParentIs(*f.Panel2, f));
  EXPECT_EQ(f.Panel2->BoundsRect(), (TRect{0, 33, 348, 522}));
  EXPECT_EQ(f.Panel2->BevelOuter(), TBevelCut::bvRaised);
  EXPECT_EQ(f.Panel2->BevelWidth(), 1);
  EXPECT_TRUE(NativeParentIs(*f.Button3, *f.Panel2));
  EXPECT_TRUE(NativeParentIs(*f.Memo1, *f.Panel2));
  EXPECT_EQ(f.Memo1->BoundsRect(), (TRect{1, 40, 346, 481}));
  ExpectFixedControls();
}

TEST_F(MainWindow, FileButtonLiesAboveTheTopStripAndTheLogHidesPanel2sCaption) {
  TForm1& f = Create();
  EXPECT_EQ(f.ControlAt(Center(f.Button1->BoundsRect())), f.Button1);
  // Where the top strip and the button overlap, the button is hit.
  EXPECT_EQ(f.ControlAt({265, 3}), f.Button1);
  EXPECT_EQ(f.ControlAt({250, 15}), f.Panel1) << "the strip right of clr, left of the button";
  EXPECT_EQ(f.ControlAt(Center(f.Panel2->BoundsRect())), f.Memo1);
}

TEST_F(MainWindow, TabGoesThroughTheControlsInDesignOrder) {
  TForm1& f = Create();
  const std::vector<TControl*> controls = {f.ComboBox1, f.CheckBox1, f.Button4,
                                           f.Button1,   f.Button3,   f.Memo1};
  EXPECT_EQ(f.TabStops(), controls);
  // The operator's Tab key, through the toolkit.
  f.ComboBox1->SetFocus();
  guitest::ProcessEvents();
  std::vector<TControl*> order{f.FocusedControl()};
  for (std::size_t i = 1; i < controls.size() + 1; ++i) {
    guitest::PressTab(f);
    order.push_back(f.FocusedControl());
  }
  std::vector<TControl*> expected = controls;
  expected.push_back(f.ComboBox1);  // round again
  EXPECT_EQ(order, expected);
  EXPECT_FALSE(f.ProgressBar1->TabStop());
  EXPECT_FALSE(f.ProgressBar1->Native().TakesFocus());
}

TEST_F(MainWindow, ResizingStretchesTheStripsAndKeepsTheLogAtTheBottom) {
  TForm1& f = Create();
  ResizeTo(600, 800);
  EXPECT_EQ(f.Panel1->BoundsRect(), (TRect{0, 0, 600, 33}));
  EXPECT_EQ(f.ProgressBar1->BoundsRect(), (TRect{0, 784, 600, 16}));
  EXPECT_EQ(f.Panel2->BoundsRect(), (TRect{0, 33, 600, 751}));
  EXPECT_EQ(f.Memo1->BoundsRect(), (TRect{1, 751 - 1 - 481, 598, 481}));
  ExpectFixedControls();

  ResizeTo(348, 571);
  EXPECT_EQ(f.Panel1->BoundsRect(), (TRect{0, 0, 348, 33}));
  EXPECT_EQ(f.ProgressBar1->BoundsRect(), (TRect{0, 555, 348, 16}));
  EXPECT_EQ(f.Panel2->BoundsRect(), (TRect{0, 33, 348, 522}));
  EXPECT_EQ(f.Memo1->BoundsRect(), (TRect{1, 40, 346, 481}));
  ExpectFixedControls();

  // Smaller than the design: the log keeps its height and slides up under the button.
  ResizeTo(300, 400);
  EXPECT_EQ(f.ProgressBar1->BoundsRect(), (TRect{0, 384, 300, 16}));
  EXPECT_EQ(f.Panel2->BoundsRect(), (TRect{0, 33, 300, 351}));
  EXPECT_EQ(f.Memo1->BoundsRect(), (TRect{1, 351 - 1 - 481, 298, 481}));
  ExpectFixedControls();
}

TEST_F(MainWindow, ProgressBarStaysAtItsMinimum) {
  TForm1& f = Create(fake);
  f.CheckBox1->SetChecked(true);
  OperatorClick(*f.Button4);
  f.CheckBox1->SetChecked(false);
  ResizeTo(500, 600);
  EXPECT_EQ(f.ProgressBar1->Position(), 10);
}

TEST_F(MainWindow, ClrEmptiesTheLogInBothStates) {
  TForm1& f = Create(fake);
  OperatorClick(*f.Button4);
  EXPECT_EQ(f.Memo1->Text(), "") << "the initial line goes too";

  f.Memo1->AppendLine("a line");
  f.CheckBox1->SetChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  OperatorClick(*f.Button4);
  EXPECT_EQ(f.Memo1->Text(), "");
  EXPECT_TRUE(f.CheckBox1->Checked()) << "nothing else changes";
  EXPECT_TRUE(f.VaComm1->IsOpen());
  EXPECT_FALSE(f.ComboBox1->Enabled());
}

// A device whose open fails with something other than the port's own error,
// as when the system cannot give the port its threads.
class OpenFailsOutsideThePort : public serial::FakeSerialApi {
 public:
  serial::THandle CreateFileA(const std::string&, std::uint32_t, std::uint32_t, std::uint32_t,
                              std::uint32_t) override {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  }
};

TEST_F(MainWindow, ThePortSwitchTakesEveryKindOfErrorFromTheOpen) {
  OpenFailsOutsideThePort device;
  TForm1& f = Create(device);
  f.CheckBox1->SetChecked(true);
  EXPECT_FALSE(f.CheckBox1->Checked());
  EXPECT_TRUE(f.ComboBox1->Enabled());
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_EQ(dialogs.messages,
            std::vector<std::string>{"Порт не существует или занят другим устройством:COM3"});
  EXPECT_TRUE(dialogs.errors.empty()) << dialogs.errors.front();
  Destroy();  // before the device goes
}

}  // namespace
