// The main window: port selector and switch, file and upload buttons, the log.
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>

#include "app/core/BootloaderLink.h"
#include "app/core/UploadObserver.h"
#include "app/core/UploadSession.h"
#include "app/gui/Controls.h"
#include "app/gui/Dialogs.h"
#include "serial/VaComm.h"
#include "serial/device/SerialApi.h"

class QCheckBox;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QResizeEvent;

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // portApi is the device back end of VaComm1; dialogs shows every modal box.
  explicit TForm1(comflash::gui::Dialogs& dialogs,
                  serial::SerialApi& portApi = serial::PlatformSerialApi());
  ~TForm1() override;
  TForm1(const TForm1&) = delete;
  TForm1& operator=(const TForm1&) = delete;

  // Components; the widgets are owned by their Qt parents, the port object by
  // the upload session.
  serial::TVaComm* VaComm1 = nullptr;
  comflash::gui::TPanel* Panel1 = nullptr;
  comflash::gui::TComboBox* ComboBox1 = nullptr;
  QCheckBox* CheckBox1 = nullptr;
  QPushButton* Button3 = nullptr;
  QPlainTextEdit* Memo1 = nullptr;
  QPushButton* Button1 = nullptr;
  comflash::gui::TOpenDialog OpenDialog1;
  QProgressBar* ProgressBar1 = nullptr;
  comflash::gui::TPanel* Panel2 = nullptr;
  QPushButton* Button4 = nullptr;

  // Handlers; none looks at the sender.
  void FormCreate(QObject* Sender);      // once, after construction
  void CheckBox1Click(QObject* Sender);  // the port switch
  void Button1Click(QObject* Sender);    // loads a HEX file into the image
  void Button3Click(QObject* Sender);    // uploads the image
  void Button4Click(QObject* Sender);    // clears the log

  // The bootloader exchanges over VaComm1, logged in Memo1.
  bool DeviceReady();
  bool WriteBlock(std::uint8_t n, const comflash::BlockData& data, std::uint8_t dataXor);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void CreateControls();
  void ConnectHandlers();
  // Top strip and progress bar keep their heights across the width, Panel2
  // takes the rest, and the log keeps its height at the bottom of Panel2.
  void AlignControls();
  void AppendLog(const std::string& line);

  comflash::gui::Dialogs& dialogs_;
  comflash::ControlsObserver observer_;
  comflash::UploadSession session_;
};

// The one main window of the program.
extern TForm1* Form1;
