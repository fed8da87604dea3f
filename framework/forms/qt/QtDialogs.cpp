#include "framework/forms/qt/QtDialogs.h"

#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

namespace forms::qt {

namespace {

QString FromUtf8(const std::string& text) {
  return QString::fromStdString(text);
}

void ShowBox(QMessageBox::Icon icon, const std::string& text, QWidget* owner) {
  QMessageBox box(icon, QCoreApplication::applicationName(), FromUtf8(text), QMessageBox::Ok,
                  owner);
  // Texts are shown as they are, never taken for markup.
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace

QWidget* QtDialogs::Owner() {
  return QApplication::activeWindow();
}

void QtDialogs::ShowMessage(const std::string& text) {
  ShowBox(QMessageBox::NoIcon, text, Owner());
}

void QtDialogs::ShowError(const std::string& text) {
  ShowBox(QMessageBox::Critical, text, Owner());
}

std::optional<std::string> QtDialogs::OpenFile(const OpenDialogOptions& options) {
  QFileDialog dialog(Owner());
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  // AnyFile lets the operator name a file that is not there; the read then reports it.
  dialog.setFileMode(options.FileMustExist ? QFileDialog::ExistingFile : QFileDialog::AnyFile);
  dialog.setDefaultSuffix(FromUtf8(options.DefaultSuffix));
  if (!options.Title.empty()) dialog.setWindowTitle(FromUtf8(options.Title));
  if (!options.Filter.empty()) dialog.setNameFilter(FromUtf8(options.Filter));
  if (!options.FileName.empty()) {
    const QFileInfo proposed(QFile::decodeName(options.FileName.c_str()));
    if (proposed.path() != QStringLiteral(".")) dialog.setDirectory(proposed.absolutePath());
    dialog.selectFile(proposed.fileName());
  }
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return std::nullopt;
  return QFile::encodeName(chosen.first()).toStdString();
}

}  // namespace forms::qt
