// A main window built as the program builds it, with recorded dialogs and the
// Qt binding of the application seam.
#pragma once

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <memory>

#include "app/Unit1.h"
#include "app/gui/QtApplication.h"
#include "tests/support/FakeSerialApi.h"
#include "tests/gui/FakeDialogs.h"

namespace guitest {

// The window goes in TearDown, while the fixture's devices still exist.
class FormTest : public ::testing::Test {
 protected:
  void TearDown() override { Destroy(); }

  // Creates, starts and shows the window; api is the port's device back end.
  TForm1& Create(serial::SerialApi& api = serial::PlatformSerialApi()) {
    form = std::make_unique<TForm1>(dialogs, api);
    Form1 = form.get();
    form->FormCreate(form.get());
    form->show();
    return *form;
  }
  // Destroys the window (closing its port) before the dialogs it uses go.
  void Destroy() {
    form.reset();
    Form1 = nullptr;
  }

  FakeDialogs dialogs;
  serial::FakeSerialApi fake;  // a scripted device, for tests that ask for it
  comflash::gui::QtApplication app{dialogs};
  std::unique_ptr<TForm1> form;
};

// Types text into a widget key by key, as the operator would.
inline void TypeText(QWidget* widget, const QString& text) {
  for (const QChar c : text) {
    const int key = c.toUpper().unicode();
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, QString(c));
    QApplication::sendEvent(widget, &press);
    QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, QString(c));
    QApplication::sendEvent(widget, &release);
  }
}

}  // namespace guitest
