// Small control classes the main window is built from.
#pragma once

#include <QComboBox>
#include <QFrame>
#include <QString>
#include <memory>
#include <utility>

namespace comflash::gui {

// Creates a widget and hands it to parent, which owns and destroys it. A later
// child lies above an earlier one.
template <typename Widget, typename... Args>
Widget* CreateChild(QWidget* parent, Args&&... args) {
  auto child = std::make_unique<Widget>(std::forward<Args>(args)...);
  child->setParent(parent);
  return child.release();  // owned by parent from here
}

// A panel: a frame with an optional bevel and a caption drawn in its middle,
// which controls placed over it may hide.
class TPanel : public QFrame {
 public:
  using QFrame::QFrame;

  const QString& Caption() const { return caption_; }
  void SetCaption(const QString& caption);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QString caption_;
};

// A combo box with editable text that tells a picked list item from typed text.
class TComboBox : public QComboBox {
 public:
  using QComboBox::QComboBox;

  // The index of the selected list item, or -1 when none is: Qt keeps its
  // current index while the operator types, so text that differs from the
  // item at that index means that no item is selected.
  int ItemIndex() const;
};

}  // namespace comflash::gui
