// Program start: the toolkit's application object, the main window, the loop.
#include <memory>

#include "app/Unit1.h"
#include "framework/forms/Forms.h"

int main(int argc, char** argv) {
  forms::TApplication Application(argc, argv);  // installed until it goes

  int result = 0;
  {
    // Destroyed before the application objects: closing the port may still
    // need the main thread to serve the port's threads.
    auto form = std::make_unique<TForm1>(Application.Dialogs());
    Form1 = form.get();
    forms::RunGuarded(Form1, [] { Form1->FormCreate(Form1); });
    Form1->Show();
    result = Application.Run();
  }
  return result;
}
