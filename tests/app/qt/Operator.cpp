// The operator's hands on Qt widgets.
#include "tests/app/Operator.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>

#include "framework/forms/Native.h"

namespace guitest {

namespace {
QWidget* WidgetOf(forms::TControl& control) {
  return static_cast<QWidget*>(control.Native().Handle());
}

void SendKey(QWidget* widget, int key, const QString& text) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier, text);
  QApplication::sendEvent(widget, &press);
  QKeyEvent release(QEvent::KeyRelease, key, Qt::NoModifier, text);
  QApplication::sendEvent(widget, &release);
}
}  // namespace

void OperatorClick(forms::TControl& control) {
  auto* button = qobject_cast<QAbstractButton*>(WidgetOf(control));
  ASSERT_NE(button, nullptr) << "not a button";
  button->click();  // as a mouse press and release on it
}

void OperatorType(forms::TComboBox& box, const std::string& text) {
  auto* combo = qobject_cast<QComboBox*>(WidgetOf(box));
  ASSERT_NE(combo, nullptr);
  QLineEdit* edit = combo->lineEdit();
  ASSERT_NE(edit, nullptr);
  edit->selectAll();
  for (const QChar c : QString::fromStdString(text))
    SendKey(edit, c.toUpper().unicode(), QString(c));
}

void PressTab(forms::TForm& form) {
  QWidget* window = WidgetOf(form);
  QWidget* focused = QApplication::focusWidget();
  SendKey(focused && window->isAncestorOf(focused) ? focused : window, Qt::Key_Tab, "\t");
  QCoreApplication::processEvents();
}

void ProcessEvents() {
  QCoreApplication::processEvents();
}

}  // namespace guitest
