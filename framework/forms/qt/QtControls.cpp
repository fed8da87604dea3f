// The controls layer on Qt 6 Widgets: each control is a widget owned by its
// counterpart, which deletes it before the parent's widget goes.
#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontDatabase>
#include <QFrame>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStringList>
#include <QVariant>
#include <QWidget>

#include "framework/forms/Controls.h"
#include "framework/forms/Forms.h"
#include "framework/forms/Native.h"
#include "framework/forms/StdCtrls.h"

namespace forms {

namespace {

const char kOwnerProperty[] = "forms.control";

QString FromUtf8(const std::string& text) {
  return QString::fromStdString(text);
}

std::string ToUtf8(const QString& text) {
  return text.toStdString();
}

QWidget* WidgetOf(const TControl& control) {
  return static_cast<QWidget*>(control.Native().Handle());
}

// The layer control a widget belongs to: the widget's own, or that of the
// nearest ancestor that has one (a combo box's edit field, a memo's viewport).
TControl* OwnerOf(QWidget* w) {
  for (; w; w = w->parentWidget()) {
    const QVariant tag = w->property(kOwnerProperty);
    if (tag.isValid()) return reinterpret_cast<TControl*>(tag.value<quintptr>());
  }
  return nullptr;
}

template <typename Interface, typename Widget>
class QtPeer : public Interface {
 public:
  QtPeer(TControl& owner, Widget* widget, QWidget* parent) : owner_(owner), w_(widget) {
    w_->setParent(parent);
    w_->setProperty(kOwnerProperty, QVariant::fromValue(reinterpret_cast<quintptr>(&owner)));
    if (parent) w_->show();  // a child shows with its window
  }
  ~QtPeer() override { delete w_; }
  QtPeer(const QtPeer&) = delete;
  QtPeer& operator=(const QtPeer&) = delete;

  void* Handle() const override { return w_; }
  void* ParentHandle() const override { return w_->parentWidget(); }
  TRect Bounds() const override {
    const QRect g = w_->geometry();
    return {g.x(), g.y(), g.width(), g.height()};
  }
  void SetBounds(const TRect& r) override { w_->setGeometry(r.Left, r.Top, r.Width, r.Height); }
  bool Enabled() const override { return w_->isEnabled(); }
  void SetEnabled(bool enabled) override { w_->setEnabled(enabled); }
  bool TakesFocus() const override { return (w_->focusPolicy() & Qt::TabFocus) != 0; }
  bool HasFocus() const override { return w_->hasFocus(); }
  void SetFocus() override { w_->setFocus(Qt::OtherFocusReason); }

 protected:
  TControl& owner_;
  Widget* w_;
};

// The form's widget: a resize by anyone realigns the controls.
class FormWidget : public QWidget {
 public:
  explicit FormWidget(TForm& owner) : owner_(owner) {}

 protected:
  void resizeEvent(QResizeEvent* event) override {
    QWidget::resizeEvent(event);
    owner_.NativeResized();
  }
  // Asked during an upload: carried out when the run has ended.
  void closeEvent(QCloseEvent* event) override {
    if (!owner_.CloseAsked()) {
      event->ignore();
      return;
    }
    QWidget::closeEvent(event);
  }

 private:
  TForm& owner_;
};

class QtForm : public QtPeer<NativeForm, FormWidget> {
 public:
  explicit QtForm(TForm& owner) : QtPeer(owner, new FormWidget(owner), nullptr) {}

  std::string Caption() const override { return ToUtf8(w_->windowTitle()); }
  void SetCaption(const std::string& caption) override { w_->setWindowTitle(FromUtf8(caption)); }
  TPoint Position() const override { return {w_->pos().x(), w_->pos().y()}; }
  void SetPosition(TPoint p) override { w_->move(p.X, p.Y); }
  TRect ClientRect() const override { return {0, 0, w_->width(), w_->height()}; }
  void SetClientSize(int width, int height) override { w_->resize(width, height); }
  TFont Font() const override { return {ToUtf8(w_->font().family()), w_->font().pointSize()}; }
  void SetFont(const TFont& font) override {
    // The design's face has no counterpart on every platform: the system's
    // general font stands in for it.
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPointSize(font.Size);
    w_->setFont(f);
  }
  void Show() override { w_->show(); }
  bool Visible() const override { return w_->isVisible(); }
  void Close() override { w_->close(); }
  TControl* ControlAt(TPoint p) const override { return OwnerOf(w_->childAt(p.X, p.Y)); }
  TControl* FocusedControl() const override {
    QWidget* focused = QApplication::focusWidget();
    return focused && w_->isAncestorOf(focused) ? OwnerOf(focused) : nullptr;
  }
  void SetTabOrder(const std::vector<TControl*>& stops) override {
    for (std::size_t i = 1; i < stops.size(); ++i)
      QWidget::setTabOrder(WidgetOf(*stops[i - 1]), WidgetOf(*stops[i]));
  }
};

// A frame with an optional bevel and a caption drawn in its middle.
class PanelWidget : public QFrame {
 public:
  const QString& Caption() const { return caption_; }
  void SetCaption(const QString& caption) {
    caption_ = caption;
    update();
  }

 protected:
  void paintEvent(QPaintEvent* event) override {
    QFrame::paintEvent(event);
    if (caption_.isEmpty()) return;
    QPainter painter(this);
    painter.drawText(contentsRect(), Qt::AlignCenter, caption_);
  }

 private:
  QString caption_;
};

class QtPanel : public QtPeer<NativePanel, PanelWidget> {
 public:
  QtPanel(TPanel& owner, TControl& parent) : QtPeer(owner, new PanelWidget, WidgetOf(parent)) {
    w_->setFrameStyle(QFrame::NoFrame);
  }
  std::string Caption() const override { return ToUtf8(w_->Caption()); }
  void SetCaption(const std::string& caption) override { w_->SetCaption(FromUtf8(caption)); }
  TBevelCut BevelOuter() const override {
    if (w_->frameShape() == QFrame::NoFrame) return TBevelCut::bvNone;
    return w_->frameShadow() == QFrame::Sunken ? TBevelCut::bvLowered : TBevelCut::bvRaised;
  }
  int BevelWidth() const override { return w_->lineWidth(); }
  void SetBevel(TBevelCut outer, int width) override {
    switch (outer) {
      case TBevelCut::bvNone:
        w_->setFrameStyle(QFrame::NoFrame);
        break;
      case TBevelCut::bvLowered:
        w_->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        break;
      case TBevelCut::bvRaised:
        w_->setFrameStyle(QFrame::Panel | QFrame::Raised);
        break;
    }
    w_->setLineWidth(width);
  }
};

class QtButton : public QtPeer<NativeButton, QPushButton> {
 public:
  QtButton(TButton& owner, TControl& parent, const std::string& caption)
      : QtPeer(owner, new QPushButton(FromUtf8(caption)), WidgetOf(parent)) {
    QObject::connect(w_, &QPushButton::clicked, [this] { owner_.Click(); });
  }
  std::string Caption() const override { return ToUtf8(w_->text()); }
};

class QtCheckBox : public QtPeer<NativeCheckBox, QCheckBox> {
 public:
  QtCheckBox(TCheckBox& owner, TControl& parent, const std::string& caption)
      : QtPeer(owner, new QCheckBox(FromUtf8(caption)), WidgetOf(parent)) {
    // clicked is the operator's alone (mouse or keyboard); the layer raises
    // the click for the program's changes itself.
    QObject::connect(w_, &QCheckBox::clicked, [this] { owner_.Click(); });
  }
  std::string Caption() const override { return ToUtf8(w_->text()); }
  bool Checked() const override { return w_->isChecked(); }
  void SetChecked(bool checked) override { w_->setChecked(checked); }
};

class QtComboBox : public QtPeer<NativeComboBox, QComboBox> {
 public:
  QtComboBox(TComboBox& owner, TControl& parent) : QtPeer(owner, new QComboBox, WidgetOf(parent)) {
    w_->setEditable(true);
    w_->setInsertPolicy(QComboBox::NoInsert);  // typed text never joins the list
  }
  std::vector<std::string> Items() const override {
    std::vector<std::string> items;
    for (int i = 0; i < w_->count(); ++i) items.push_back(ToUtf8(w_->itemText(i)));
    return items;
  }
  void SetItems(const std::vector<std::string>& items) override {
    w_->clear();
    for (const std::string& item : items) w_->addItem(FromUtf8(item));
  }
  int CurrentIndex() const override { return w_->currentIndex(); }
  void SetCurrentIndex(int index) override { w_->setCurrentIndex(index); }
  std::string Text() const override { return ToUtf8(w_->currentText()); }
  bool Editable() const override { return w_->isEditable(); }
  // Qt sizes the list's rows from the font.
  void SetItemHeight(int /*pixels*/) override {}
};

class QtMemo : public QtPeer<NativeMemo, QPlainTextEdit> {
 public:
  QtMemo(TMemo& owner, TControl& parent) : QtPeer(owner, new QPlainTextEdit, WidgetOf(parent)) {
    w_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    w_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    w_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    w_->setTabChangesFocus(true);  // Tab leaves the log rather than typing into it
  }
  std::string Text() const override { return ToUtf8(w_->toPlainText()); }
  void SetText(const std::string& text) override { w_->setPlainText(FromUtf8(text)); }
  void AppendLines(const std::vector<std::string>& lines) override {
    QStringList text;
    text.reserve(static_cast<qsizetype>(lines.size()));
    for (const std::string& line : lines) text.append(FromUtf8(line));
    w_->appendPlainText(text.join(QChar('\n')));
  }
  bool WordWrap() const override { return w_->lineWrapMode() == QPlainTextEdit::WidgetWidth; }
  bool HasScrollBars() const override {
    return w_->verticalScrollBarPolicy() != Qt::ScrollBarAlwaysOff ||
           w_->horizontalScrollBarPolicy() != Qt::ScrollBarAlwaysOff;
  }
  bool ReadOnly() const override { return w_->isReadOnly(); }
};

class QtProgressBar : public QtPeer<NativeProgressBar, QProgressBar> {
 public:
  QtProgressBar(TProgressBar& owner, TControl& parent)
      : QtPeer(owner, new QProgressBar, WidgetOf(parent)) {
    w_->setTextVisible(false);
  }
  int Min() const override { return w_->minimum(); }
  int Max() const override { return w_->maximum(); }
  int Position() const override { return w_->value(); }
  void SetRange(int min, int max) override { w_->setRange(min, max); }
  void SetPosition(int position) override { w_->setValue(position); }
};

}  // namespace

std::unique_ptr<NativeForm> CreateNativeForm(TForm& owner) {
  return std::make_unique<QtForm>(owner);
}
std::unique_ptr<NativePanel> CreateNativePanel(TPanel& owner, TControl& parent) {
  return std::make_unique<QtPanel>(owner, parent);
}
std::unique_ptr<NativeButton> CreateNativeButton(TButton& owner, TControl& parent,
                                                 const std::string& caption) {
  return std::make_unique<QtButton>(owner, parent, caption);
}
std::unique_ptr<NativeCheckBox> CreateNativeCheckBox(TCheckBox& owner, TControl& parent,
                                                     const std::string& caption) {
  return std::make_unique<QtCheckBox>(owner, parent, caption);
}
std::unique_ptr<NativeComboBox> CreateNativeComboBox(TComboBox& owner, TControl& parent) {
  return std::make_unique<QtComboBox>(owner, parent);
}
std::unique_ptr<NativeMemo> CreateNativeMemo(TMemo& owner, TControl& parent) {
  return std::make_unique<QtMemo>(owner, parent);
}
std::unique_ptr<NativeProgressBar> CreateNativeProgressBar(TProgressBar& owner, TControl& parent) {
  return std::make_unique<QtProgressBar>(owner, parent);
}

}  // namespace forms
