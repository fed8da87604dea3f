// The window as it starts, its layout and its resizing, and the clear button.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <vector>

#include "tests/gui/FormFixture.h"

namespace {

using guitest::FormTest;

class MainWindow : public FormTest {
 protected:
  void ResizeTo(int w, int h) {
    form->resize(w, h);
    QCoreApplication::processEvents();
    ASSERT_EQ(form->size(), QSize(w, h));
  }
  // The controls that must never move or change size.
  void ExpectFixedControls() {
    EXPECT_EQ(form->ComboBox1->geometry(), QRect(0, 8, 145, 21));
    EXPECT_EQ(form->CheckBox1->geometry(), QRect(152, 8, 49, 17));
    EXPECT_EQ(form->Button4->geometry(), QRect(208, 2, 35, 25));
    EXPECT_EQ(form->Button1->geometry(), QRect(264, 2, 59, 25));
    EXPECT_EQ(form->Button3->geometry(), QRect(8, 8, 321, 25));
  }
};

TEST_F(MainWindow, StartsSwitchedOffWithTheDesignedContents) {
  TForm1& f = Create();
  EXPECT_FALSE(f.CheckBox1->isChecked());
  EXPECT_TRUE(f.ComboBox1->isEnabled());
  EXPECT_TRUE(f.ComboBox1->isEditable());
  EXPECT_EQ(f.ComboBox1->currentText(), "COM3");
  EXPECT_EQ(f.ComboBox1->ItemIndex(), 2);
  ASSERT_EQ(f.ComboBox1->count(), 9);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(f.ComboBox1->itemText(i), QString("COM%1").arg(i + 1));
  EXPECT_EQ(f.Memo1->toPlainText(), "Memo1");
  EXPECT_FALSE(f.Memo1->isReadOnly());
  EXPECT_EQ(f.Memo1->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(f.Memo1->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(f.Memo1->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOff);
  EXPECT_EQ(f.ProgressBar1->minimum(), 10);
  EXPECT_EQ(f.ProgressBar1->maximum(), 127);
  EXPECT_EQ(f.ProgressBar1->value(), 10);
  EXPECT_FALSE(f.VaComm1->IsOpen());
  EXPECT_EQ(f.windowTitle(), QString::fromUtf8("ООО \"ЛЕМБРОН\" "));
  EXPECT_EQ(f.CheckBox1->text(), QString::fromUtf8("Вкл."));
  EXPECT_EQ(f.Button1->text(), QString::fromUtf8("Файл"));
  EXPECT_EQ(f.Button3->text(), QString::fromUtf8("Загрузить"));
  EXPECT_EQ(f.Button4->text(), "clr");
  EXPECT_TRUE(f.Panel1->Caption().isEmpty());
  EXPECT_EQ(f.Panel2->Caption(), "Panel2");
  EXPECT_EQ(f.font().pointSize(), 8);
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
  EXPECT_EQ(f.pos(), QPoint(196, 118));
  EXPECT_EQ(f.size(), QSize(348, 571));
  EXPECT_EQ(f.Panel1->parentWidget(), &f);
  EXPECT_EQ(f.Panel1->geometry(), QRect(0, 0, 348, 33));
  EXPECT_EQ(f.Panel1->frameShape(), QFrame::NoFrame);
  EXPECT_EQ(f.ComboBox1->parentWidget(), f.Panel1);
  EXPECT_EQ(f.CheckBox1->parentWidget(), f.Panel1);
  EXPECT_EQ(f.Button4->parentWidget(), f.Panel1);
  EXPECT_EQ(f.Button1->parentWidget(), &f);
  EXPECT_EQ(f.ProgressBar1->parentWidget(), &f);
  EXPECT_EQ(f.ProgressBar1->geometry(), QRect(0, 555, 348, 16));
  EXPECT_EQ(f.Panel2->parentWidget(), &f);
  EXPECT_EQ(f.Panel2->geometry(), QRect(0, 33, 348, 522));
  EXPECT_EQ(f.Panel2->frameShape(), QFrame::Panel);
  EXPECT_EQ(f.Panel2->frameShadow(), QFrame::Raised);
  EXPECT_EQ(f.Panel2->lineWidth(), 1);
  EXPECT_EQ(f.Button3->parentWidget(), f.Panel2);
  EXPECT_EQ(f.Memo1->parentWidget(), f.Panel2);
  EXPECT_EQ(f.Memo1->geometry(), QRect(1, 40, 346, 481));
  ExpectFixedControls();
}

TEST_F(MainWindow, FileButtonLiesAboveTheTopStripAndTheLogHidesPanel2sCaption) {
  TForm1& f = Create();
  EXPECT_EQ(f.childAt(f.Button1->geometry().center()), f.Button1);
  // Where the top strip and the button overlap, the button is hit.
  EXPECT_EQ(f.childAt(265, 3), f.Button1);
  EXPECT_EQ(f.childAt(250, 15), f.Panel1) << "the strip right of clr, left of the button";
  EXPECT_EQ(f.childAt(f.Panel2->geometry().center()), f.Memo1->viewport());
}

TEST_F(MainWindow, TabGoesThroughTheControlsInDesignOrder) {
  TForm1& f = Create();
  const std::vector<QWidget*> controls = {f.ComboBox1, f.CheckBox1, f.Button4,
                                          f.Button1,   f.Button3,   f.Memo1};
  // The combo box's edit field stands for the combo box in the chain.
  auto control = [&](QWidget* w) -> QWidget* {
    for (QWidget* c : controls)
      if (w == c || c->isAncestorOf(w)) return c;
    return nullptr;
  };
  std::vector<QWidget*> order;
  QWidget* w = &f;
  for (int guard = 0; guard < 50 && order.size() < controls.size(); ++guard) {
    w = w->nextInFocusChain();
    QWidget* c = control(w);
    if (c && (w->focusPolicy() & Qt::TabFocus) && (order.empty() || order.back() != c))
      order.push_back(c);
  }
  EXPECT_EQ(order, controls);
  EXPECT_EQ(f.ProgressBar1->focusPolicy(), Qt::NoFocus);
}

TEST_F(MainWindow, ResizingStretchesTheStripsAndKeepsTheLogAtTheBottom) {
  TForm1& f = Create();
  ResizeTo(600, 800);
  EXPECT_EQ(f.Panel1->geometry(), QRect(0, 0, 600, 33));
  EXPECT_EQ(f.ProgressBar1->geometry(), QRect(0, 784, 600, 16));
  EXPECT_EQ(f.Panel2->geometry(), QRect(0, 33, 600, 751));
  EXPECT_EQ(f.Memo1->geometry(), QRect(1, 751 - 1 - 481, 598, 481));
  ExpectFixedControls();

  ResizeTo(348, 571);
  EXPECT_EQ(f.Panel1->geometry(), QRect(0, 0, 348, 33));
  EXPECT_EQ(f.ProgressBar1->geometry(), QRect(0, 555, 348, 16));
  EXPECT_EQ(f.Panel2->geometry(), QRect(0, 33, 348, 522));
  EXPECT_EQ(f.Memo1->geometry(), QRect(1, 40, 346, 481));
  ExpectFixedControls();

  // Smaller than the design: the log keeps its height and slides up under the button.
  ResizeTo(300, 400);
  EXPECT_EQ(f.ProgressBar1->geometry(), QRect(0, 384, 300, 16));
  EXPECT_EQ(f.Panel2->geometry(), QRect(0, 33, 300, 351));
  EXPECT_EQ(f.Memo1->geometry(), QRect(1, 351 - 1 - 481, 298, 481));
  ExpectFixedControls();
}

TEST_F(MainWindow, ProgressBarStaysAtItsMinimum) {
  TForm1& f = Create(fake);
  f.CheckBox1->setChecked(true);
  f.Button4->click();
  f.CheckBox1->setChecked(false);
  ResizeTo(500, 600);
  EXPECT_EQ(f.ProgressBar1->value(), 10);
}

TEST_F(MainWindow, ClrEmptiesTheLogInBothStates) {
  TForm1& f = Create(fake);
  f.Button4->click();
  EXPECT_EQ(f.Memo1->toPlainText(), "") << "the initial line goes too";

  f.Memo1->appendPlainText("a line");
  f.CheckBox1->setChecked(true);
  ASSERT_TRUE(f.VaComm1->IsOpen());
  f.Button4->click();
  EXPECT_EQ(f.Memo1->toPlainText(), "");
  EXPECT_TRUE(f.CheckBox1->isChecked()) << "nothing else changes";
  EXPECT_TRUE(f.VaComm1->IsOpen());
  EXPECT_FALSE(f.ComboBox1->isEnabled());
}

}  // namespace
