#include "app/Unit1.h"

#include "app/core/FirmwareImage.h"
#include "app/core/HexLoader.h"
#include "framework/Application.h"
#include "framework/TextFile.h"

TForm1* Form1 = nullptr;

namespace {

using forms::TAlign;
using forms::TBevelCut;
using forms::TButton;
using forms::TCheckBox;
using forms::TComboBox;
using forms::TMemo;
using forms::TPanel;
using forms::TProgressBar;

const char kPortBusyMessage[] = "Порт не существует или занят другим устройством:";

}  // namespace

TForm1::TForm1(forms::Dialogs& dialogs, serial::SerialApi& portApi)
    : OpenDialog1(dialogs),
      dialogs_(dialogs),
      observer_({[this](bool enabled) { CheckBox1->SetEnabled(enabled); },
                 [this](bool enabled) { Button1->SetEnabled(enabled); },
                 [this](bool enabled) { Button3->SetEnabled(enabled); }, [this] { Memo1->Clear(); },
                 [this](const std::string& line) { Memo1->AppendLine(line); }}),
      session_(
          observer_, [] { framework::App().ProcessMessages(); }, portApi) {
  VaComm1 = &session_.Port();
  CreateControls();
  ConnectHandlers();
}

TForm1::~TForm1() {
  if (Form1 == this) Form1 = nullptr;
}

void TForm1::CreateControls() {
  SetCaption("ООО \"ЛЕМБРОН\" ");
  SetFont({"MS Sans Serif", 8});
  SetPosition({196, 118});
  SetClientSize(348, 571);

  // Creation order is stacking order (Button1 lies over the right of Panel1)
  // and tab order.
  Panel1 = forms::Create<TPanel>(*this);
  Panel1->SetBevel(TBevelCut::bvNone, 1);
  Panel1->SetBounds({0, 0, 348, 33});

  ComboBox1 = forms::Create<TComboBox>(*Panel1);
  ComboBox1->SetItems({"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8", "COM9"});
  ComboBox1->SetItemIndex(2);
  ComboBox1->SetItemHeight(13);
  ComboBox1->SetBounds({0, 8, 145, 21});

  CheckBox1 = forms::Create<TCheckBox>(*Panel1, "Вкл.");
  CheckBox1->SetBounds({152, 8, 49, 17});

  Button4 = forms::Create<TButton>(*Panel1, "clr");
  Button4->SetBounds({208, 2, 35, 25});

  Button1 = forms::Create<TButton>(*this, "Файл");
  Button1->SetBounds({264, 2, 59, 25});

  ProgressBar1 = forms::Create<TProgressBar>(*this);
  ProgressBar1->SetRange(10, 127);
  ProgressBar1->SetPosition(10);
  ProgressBar1->SetBounds({0, 555, 348, 16});

  Panel2 = forms::Create<TPanel>(*this);
  Panel2->SetBevel(TBevelCut::bvRaised, 1);
  Panel2->SetCaption("Panel2");
  Panel2->SetBounds({0, 33, 348, 522});

  Button3 = forms::Create<TButton>(*Panel2, "Загрузить");
  Button3->SetBounds({8, 8, 321, 25});

  Memo1 = forms::Create<TMemo>(*Panel2);
  Memo1->AppendLine("Memo1");
  Memo1->SetBounds({1, 40, 346, 481});

  // The top strip and the progress bar keep their heights across the width,
  // Panel2 takes the rest, and the log keeps its height at Panel2's bottom.
  Panel1->SetAlign(TAlign::alTop);
  ProgressBar1->SetAlign(TAlign::alBottom);
  Panel2->SetAlign(TAlign::alClient);
  Memo1->SetAlign(TAlign::alBottom);

  OpenDialog1.Options.DefaultSuffix = "hex";
  OpenDialog1.Options.FileName = "_code.hex";
}

void TForm1::ConnectHandlers() {
  CheckBox1->OnClick = [this](framework::TComponent* sender) { CheckBox1Click(sender); };
  Button4->OnClick = [this](framework::TComponent* sender) { Button4Click(sender); };
  Button1->OnClick = [this](framework::TComponent* sender) { Button1Click(sender); };
  Button3->OnClick = [this](framework::TComponent* sender) { Button3Click(sender); };
}

void TForm1::FormCreate(framework::TComponent* /*Sender*/) {
  CheckBox1Click(nullptr);
}

void TForm1::CheckBox1Click(framework::TComponent* /*Sender*/) {
  if (!CheckBox1->Checked()) {
    ComboBox1->SetEnabled(true);
    VaComm1->Close();
    return;
  }
  // The name cannot change while the port is open.
  ComboBox1->SetEnabled(false);
  bool opened = false;
  try {
    const int index = ComboBox1->ItemIndex();
    session_.OpenPort(index >= 0 ? ComboBox1->Items()[static_cast<std::size_t>(index)]
                                 : std::string());
    opened = true;
  } catch (...) {
    // Whatever the reason, the operator is told the same thing below.
  }
  if (!opened) {
    CheckBox1->SetChecked(false);  // runs this handler again: combo enabled, port closed
    dialogs_.ShowMessage(kPortBusyMessage + VaComm1->DeviceName());
  }
  // Not guarded: an error here goes to the default display and the switch stays on.
  session_.ResetAndPurge();
}

void TForm1::Button4Click(framework::TComponent* /*Sender*/) {
  Memo1->Clear();
}

void TForm1::Button1Click(framework::TComponent* /*Sender*/) {
  Memo1->Clear();
  // The segment base starts at 0 for every file inside the loader.
  if (!OpenDialog1.Execute()) return;
  const std::string path = OpenDialog1.FileName();
  const std::vector<std::string> lines = framework::ReadTextLines(path);
  const std::vector<std::string> log =
      comflash::LoadHexRecords(lines, path, comflash::FirmwareImage);
  // One append for the whole list: a large file then costs one layout, not thousands.
  Memo1->AppendLines(log);
}

void TForm1::Button3Click(framework::TComponent* /*Sender*/) {
  session_.Run(comflash::FirmwareImage);
}

bool TForm1::DeviceReady() {
  return session_.Link().DeviceReady();
}

bool TForm1::WriteBlock(std::uint8_t n, const comflash::BlockData& data, std::uint8_t dataXor) {
  return session_.Link().WriteBlock(n, data, dataXor);
}
