// The main window: port selector and switch, file and upload buttons, the log.
#pragma once

#include <cstdint>

#include "app/core/BootloaderLink.h"
#include "app/core/UploadObserver.h"
#include "app/core/UploadSession.h"
#include "framework/forms/Dialogs.h"
#include "framework/forms/Forms.h"
#include "framework/forms/StdCtrls.h"
#include "serial/VaComm.h"
#include "serial/device/SerialApi.h"

class TForm1 : public forms::TForm {
 public:
  // portApi is the device back end of VaComm1; dialogs shows every modal box.
  explicit TForm1(forms::Dialogs& dialogs,
                  serial::SerialApi& portApi = serial::PlatformSerialApi());
  ~TForm1() override;

  // Components; the controls are owned by the controls they lie on, the port
  // object by the upload session.
  serial::TVaComm* VaComm1 = nullptr;
  forms::TPanel* Panel1 = nullptr;
  forms::TComboBox* ComboBox1 = nullptr;
  forms::TCheckBox* CheckBox1 = nullptr;
  forms::TButton* Button3 = nullptr;
  forms::TMemo* Memo1 = nullptr;
  forms::TButton* Button1 = nullptr;
  forms::TOpenDialog OpenDialog1;
  forms::TProgressBar* ProgressBar1 = nullptr;
  forms::TPanel* Panel2 = nullptr;
  forms::TButton* Button4 = nullptr;

  // Handlers; none looks at the sender.
  void FormCreate(framework::TComponent* Sender);      // once, after construction
  void CheckBox1Click(framework::TComponent* Sender);  // the port switch
  void Button1Click(framework::TComponent* Sender);    // loads a HEX file into the image
  void Button3Click(framework::TComponent* Sender);    // uploads the image
  void Button4Click(framework::TComponent* Sender);    // clears the log

  // The bootloader exchanges over VaComm1, logged in Memo1.
  bool DeviceReady();
  bool WriteBlock(std::uint8_t n, const comflash::BlockData& data, std::uint8_t dataXor);

 private:
  void CreateControls();
  void ConnectHandlers();

  forms::Dialogs& dialogs_;
  comflash::ControlsObserver observer_;
  comflash::UploadSession session_;
};

// The one main window of the program.
extern TForm1* Form1;
