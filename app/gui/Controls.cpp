#include "app/gui/Controls.h"

#include <QPainter>

namespace comflash::gui {

void TPanel::SetCaption(const QString& caption) {
  caption_ = caption;
  update();
}

void TPanel::paintEvent(QPaintEvent* event) {
  QFrame::paintEvent(event);
  if (caption_.isEmpty()) return;
  QPainter painter(this);
  painter.drawText(contentsRect(), Qt::AlignCenter, caption_);
}

int TComboBox::ItemIndex() const {
  const int index = currentIndex();
  if (index < 0) return -1;
  if (isEditable() && currentText() != itemText(index)) return -1;
  return index;
}

}  // namespace comflash::gui
