// Program start: the Qt application, the seam bound to it, the main window.
#include <QApplication>
#include <memory>

#include "app/Unit1.h"
#include "app/gui/QtApplication.h"
#include "app/gui/QtDialogs.h"
#include "framework/MainThreadQueue.h"

int main(int argc, char** argv) {
  QApplication qtApp(argc, argv);
  framework::SetMainThread();
  comflash::gui::QtDialogs dialogs;
  comflash::gui::QtApplication app(dialogs);  // installed until it goes

  int result = 0;
  {
    // Destroyed before the application objects: closing the port may still
    // need the main thread to serve the port's threads.
    auto form = std::make_unique<TForm1>(dialogs);
    Form1 = form.get();
    comflash::gui::RunGuarded(Form1, [] { Form1->FormCreate(Form1); });
    Form1->show();
    result = qtApp.exec();
  }
  return result;
}
