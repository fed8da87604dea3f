#include "app/Unit1.h"

#include <QCheckBox>
#include <QFontDatabase>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QResizeEvent>
#include <QStringList>
#include <algorithm>

#include "app/core/FirmwareImage.h"
#include "app/core/HexLoader.h"
#include "app/gui/QtApplication.h"
#include "framework/Application.h"
#include "framework/TextFile.h"

TForm1* Form1 = nullptr;

namespace {

using comflash::gui::CreateChild;
using comflash::gui::Guarded;
using comflash::gui::TComboBox;
using comflash::gui::TPanel;

// Heights the alignment keeps while the window is resized.
constexpr int kTopStripHeight = 33;
constexpr int kProgressBarHeight = 16;
constexpr int kLogHeight = 481;

const char kPortBusyMessage[] = "Порт не существует или занят другим устройством:";

QString Text(const char* utf8) {
  return QString::fromUtf8(utf8);
}

}  // namespace

TForm1::TForm1(comflash::gui::Dialogs& dialogs, serial::SerialApi& portApi)
    : OpenDialog1(dialogs),
      dialogs_(dialogs),
      observer_({[this](bool enabled) { CheckBox1->setEnabled(enabled); },
                 [this](bool enabled) { Button1->setEnabled(enabled); },
                 [this](bool enabled) { Button3->setEnabled(enabled); }, [this] { Memo1->clear(); },
                 [this](const std::string& line) { AppendLog(line); }}),
      session_(
          observer_, [] { framework::App().ProcessMessages(); }, portApi) {
  VaComm1 = &session_.Port();
  CreateControls();
  ConnectHandlers();
  AlignControls();
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::CreateControls() {
  setWindowTitle(Text("ООО \"ЛЕМБРОН\" "));
  // MS Sans Serif 8 pt has no counterpart on every platform: its default sans serif stands in.
  QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPointSize(8);
  setFont(font);
  move(196, 118);
  resize(348, 571);

  // Creation order is stacking order: Button1 lies over the right of Panel1.
  Panel1 = CreateChild<TPanel>(this);
  Panel1->setFrameStyle(QFrame::NoFrame);
  Panel1->setGeometry(0, 0, 348, kTopStripHeight);

  ComboBox1 = CreateChild<TComboBox>(Panel1);
  ComboBox1->setEditable(true);
  ComboBox1->setInsertPolicy(QComboBox::NoInsert);  // typed text never joins the list
  ComboBox1->addItems({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"});
  ComboBox1->setCurrentIndex(2);
  ComboBox1->setGeometry(0, 8, 145, 21);

  CheckBox1 = CreateChild<QCheckBox>(Panel1, Text("Вкл."));
  CheckBox1->setChecked(false);
  CheckBox1->setGeometry(152, 8, 49, 17);

  Button4 = CreateChild<QPushButton>(Panel1, Text("clr"));
  Button4->setGeometry(208, 2, 35, 25);

  Button1 = CreateChild<QPushButton>(this, Text("Файл"));
  Button1->setGeometry(264, 2, 59, 25);

  ProgressBar1 = CreateChild<QProgressBar>(this);
  ProgressBar1->setRange(10, 127);
  ProgressBar1->setValue(10);  // a new bar reports minimum - 1 until a value is set
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setGeometry(0, 555, 348, kProgressBarHeight);

  Panel2 = CreateChild<TPanel>(this);
  Panel2->setFrameStyle(QFrame::Panel | QFrame::Raised);
  Panel2->setLineWidth(1);
  Panel2->SetCaption(Text("Panel2"));
  Panel2->setGeometry(0, 33, 348, 522);

  Button3 = CreateChild<QPushButton>(Panel2, Text("Загрузить"));
  Button3->setGeometry(8, 8, 321, 25);

  Memo1 = CreateChild<QPlainTextEdit>(Panel2);
  Memo1->setPlainText(Text("Memo1"));
  Memo1->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  Memo1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  Memo1->setGeometry(1, 40, 346, kLogHeight);

  setTabOrder(ComboBox1, CheckBox1);
  setTabOrder(CheckBox1, Button4);
  setTabOrder(Button4, Button1);
  setTabOrder(Button1, Button3);
  setTabOrder(Button3, Memo1);

  OpenDialog1.Options.DefaultSuffix = "hex";
  OpenDialog1.Options.FileName = "_code.hex";
}

void TForm1::ConnectHandlers() {
  // toggled, not clicked: a change made by the program is a click too, and
  // setting the state the box already has is none.
  connect(CheckBox1, &QCheckBox::toggled, this,
          Guarded(CheckBox1, [this] { CheckBox1Click(CheckBox1); }));
  connect(Button4, &QPushButton::clicked, this,
          Guarded(Button4, [this] { Button4Click(Button4); }));
  connect(Button1, &QPushButton::clicked, this,
          Guarded(Button1, [this] { Button1Click(Button1); }));
  connect(Button3, &QPushButton::clicked, this,
          Guarded(Button3, [this] { Button3Click(Button3); }));
}

void TForm1::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  AlignControls();
}

void TForm1::AlignControls() {
  const int w = width();
  const int h = height();
  Panel1->setGeometry(0, 0, w, kTopStripHeight);
  ProgressBar1->setGeometry(0, h - kProgressBarHeight, w, kProgressBarHeight);
  Panel2->setGeometry(0, kTopStripHeight, w, std::max(0, h - kTopStripHeight - kProgressBarHeight));
  // Inside Panel2's bevel.
  const QRect inner = Panel2->contentsRect();
  Memo1->setGeometry(inner.left(), inner.bottom() + 1 - kLogHeight, inner.width(), kLogHeight);
}

void TForm1::AppendLog(const std::string& line) {
  Memo1->appendPlainText(QString::fromStdString(line));
}

void TForm1::FormCreate(QObject* /*Sender*/) {
  CheckBox1Click(nullptr);
}

void TForm1::CheckBox1Click(QObject* /*Sender*/) {
  if (!CheckBox1->isChecked()) {
    ComboBox1->setEnabled(true);
    VaComm1->Close();
    return;
  }
  // The name cannot change while the port is open.
  ComboBox1->setEnabled(false);
  bool opened = false;
  try {
    const int index = ComboBox1->ItemIndex();
    session_.OpenPort(index >= 0 ? ComboBox1->itemText(index).toStdString() : std::string());
    opened = true;
  } catch (...) {
    // Whatever the reason, the operator is told the same thing below.
  }
  if (!opened) {
    CheckBox1->setChecked(false);  // runs this handler again: combo enabled, port closed
    dialogs_.ShowMessage(kPortBusyMessage + VaComm1->DeviceName());
  }
  // Not guarded: an error here goes to the default display and the switch stays on.
  session_.ResetAndPurge();
}

void TForm1::Button4Click(QObject* /*Sender*/) {
  Memo1->clear();
}

void TForm1::Button1Click(QObject* /*Sender*/) {
  Memo1->clear();
  // The segment base starts at 0 for every file inside the loader.
  if (!OpenDialog1.Execute()) return;
  const std::string path = OpenDialog1.FileName();
  const std::vector<std::string> lines = framework::ReadTextLines(path);
  const std::vector<std::string> log =
      comflash::LoadHexRecords(lines, path, comflash::FirmwareImage);
  if (log.empty()) return;
  // One append for the whole list: a large file then costs one layout, not thousands.
  QStringList text;
  text.reserve(static_cast<qsizetype>(log.size()));
  for (const std::string& line : log) text.append(QString::fromStdString(line));
  Memo1->appendPlainText(text.join(QChar('\n')));
}

void TForm1::Button3Click(QObject* /*Sender*/) {
  session_.Run(comflash::FirmwareImage);
}

bool TForm1::DeviceReady() {
  return session_.Link().DeviceReady();
}

bool TForm1::WriteBlock(std::uint8_t n, const comflash::BlockData& data, std::uint8_t dataXor) {
  return session_.Link().WriteBlock(n, data, dataXor);
}
