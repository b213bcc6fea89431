#include "program2/frm_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QGroupBox>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QValidator>
#include <cstdio>
#include <cstdlib>

#include "program2/box_input.h"
#include "program2/window_icons.h"

namespace tarvex {
namespace {

QColor ToQColor(Rgb c) { return QColor(c.r, c.g, c.b); }
QColor FromBgr(std::uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

// A text box that tells of double-clicks and of losing the focus.
class BoxEdit : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;
  std::function<void()> on_double_click;
  std::function<void()> on_focus_out;

 protected:
  void mouseDoubleClickEvent(QMouseEvent* event) override {
    QLineEdit::mouseDoubleClickEvent(event);
    if (on_double_click) on_double_click();
  }
  void focusOutEvent(QFocusEvent* event) override {
    QLineEdit::focusOutEvent(event);
    if (on_focus_out) on_focus_out();
  }
};

// Lets through only what can become a box number: sign, digits, blanks and the decimal
// separator. A complete, readable number is acceptable; the rest is a half-typed edit.
class BoxNumberValidator : public QValidator {
 public:
  using QValidator::QValidator;
  State validate(QString& input, int&) const override {
    const std::string text = input.toStdString();
    if (IsReadableBoxNumber(text)) return Acceptable;
    return MayBecomeBoxNumber(text) ? Intermediate : Invalid;
  }
};

// An image control: its picture stretched to the control, in colour also while the form is
// disabled during a pass.
class PictureBox : public QLabel {
 public:
  using QLabel::QLabel;

 protected:
  void paintEvent(QPaintEvent*) override {
    if (pixmap().isNull()) return;
    QPainter painter(this);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.drawPixmap(rect(), pixmap());
  }
};

// A platform without a screen (offscreen, minimal) has nothing to raise a window above, and
// says so on standard error at each try.
bool ShownOnAScreen() {
  const QString name = QGuiApplication::platformName();
  return name != "offscreen" && name != "minimal";
}

}  // namespace

FormWindow::FormWindow(const Program& program)
    : QWidget(nullptr, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                           Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                           Qt::WindowCloseButtonHint),
      PresentedForm(program) {
  setObjectName(QString::fromStdString(design_.name));
  setWindowTitle(QString::fromStdString(design_.caption));
  setWindowIcon(WindowIcon());
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, ToQColor(design_.back_color));
  setPalette(pal);
  setFixedSize(Twips(design_.client_width), Twips(design_.client_height));
  // The stand-in for the platform's default dialog font, which the design is laid out for.
  QFont dialog_font = font();
  dialog_font.setPointSizeF(7.5);
  setFont(dialog_font);
  Build();
  cursor_flash_ms_ = QApplication::cursorFlashTime();
  present_timer_.setSingleShot(true);
  connect(&present_timer_, &QTimer::timeout, this, [this] { Present(); });
}

FormWindow::~FormWindow() {
  if (wait_cursor_) QApplication::restoreOverrideCursor();
  // The widgets go with QWidget, after the box texts: a box that loses the focus then must
  // not look for them.
  for (QLineEdit* edit : boxes_) {
    if (auto* box = static_cast<BoxEdit*>(edit)) box->on_focus_out = box->on_double_click = nullptr;
  }
}

int FormWindow::Twips(int twips) const {
  return static_cast<int>(std::lround(twips * logicalDpiX() / 1440.0));
}

QWidget* FormWindow::Container(const std::string& name) {
  if (name.empty()) return this;
  return frames_.at(name);
}

void FormWindow::Build() {
  const QPalette default_palette = QApplication::palette();
  std::map<int, QWidget*> focus_order;
  for (const ControlDesign& c : design_.controls) {
    QWidget* widget = nullptr;
    // Every role set explicitly, so that no frame's caption colour reaches its children.
    QPalette pal = c.kind == ControlKind::kFrame ? palette() : default_palette;
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::Base, QPalette::Window}) {
      pal.setColor(role, pal.color(role));
    }
    switch (c.kind) {
      case ControlKind::kFrame: {
        auto* frame = new QGroupBox(QString::fromStdString(c.text), Container(c.container));
        frames_[c.name] = frame;
        frame->setAutoFillBackground(true);
        pal.setColor(QPalette::Window, ToQColor(*c.back_color));
        pal.setColor(QPalette::WindowText, c.caption_color
                                               ? ToQColor(*c.caption_color)
                                               : default_palette.color(QPalette::WindowText));
        widget = frame;
        break;
      }
      case ControlKind::kTextBox: {
        auto* edit = new BoxEdit(QString::fromStdString(c.text), Container(c.container));
        edit->setAlignment(c.align_right ? Qt::AlignRight | Qt::AlignVCenter
                                         : Qt::AlignLeft | Qt::AlignVCenter);
        edit->setReadOnly(c.read_only);
        edit->setFrame(!c.flat);
        if (c.back_color) pal.setColor(QPalette::Base, ToQColor(*c.back_color));
        if (c.box) {
          const Box box = *c.box;
          const auto i = static_cast<std::size_t>(box);
          boxes_[i] = edit;
          if (!c.read_only) {
            edit->setValidator(new BoxNumberValidator(edit));
            connect(edit, &QLineEdit::textEdited, this,
                    [this, box](const QString& t) { Typed(box, t.toStdString()); });
            edit->on_focus_out = [this, box] { BoxLeft(box); };
          }
          if (box == Box::kTimRem) edit->on_double_click = [this] { RemainingBoxDoubleClicked(); };
        }
        focus_order[c.tab_index] = edit;
        widget = edit;
        break;
      }
      case ControlKind::kLabel: {
        auto* label = new QLabel(QString::fromStdString(c.text), Container(c.container));
        label->setAutoFillBackground(true);
        pal.setColor(QPalette::Window, ToQColor(*c.back_color));
        if (c.name == "lbl_Info") info_labels_[static_cast<std::size_t>(c.index - 4)] = label;
        widget = label;
        break;
      }
      case ControlKind::kImage: {
        auto* image = new PictureBox(Container(c.container));
        image->setScaledContents(true);
        if (c.picture == Picture::kSnowflake) image->setPixmap(SnowflakeIcon().pixmap(32, 32));
        if (c.picture == Picture::kSun) image->setPixmap(SunIcon().pixmap(32, 32));
        images_[static_cast<std::size_t>(*c.image)] = image;
        widget = image;
        break;
      }
      case ControlKind::kTimer: {
        timer1_ = new QTimer(Container(c.container));
        timer1_->setObjectName(QString::fromStdString(c.name));
        timer1_->setTimerType(Qt::PreciseTimer);
        timer1_->setInterval(Timer1IntervalMs(c));
        connect(timer1_, &QTimer::timeout, this, [this] { Timer1Fired(); });
        timer1_->start();  // enabled from creation
        continue;
      }
    }
    widget->setObjectName(QString::fromStdString(c.ObjectName()));
    widget->setPalette(pal);
    widget->setGeometry(Twips(c.left), Twips(c.top), Twips(c.width), Twips(c.height));
    if (!c.tooltip.empty()) widget->setToolTip(QString::fromStdString(c.tooltip));
  }
  QWidget* previous = nullptr;
  for (auto& [tab, widget] : focus_order) {
    if (previous != nullptr) QWidget::setTabOrder(previous, widget);
    previous = widget;
  }
}

void FormWindow::AppendToCaption(const std::string& text) {
  setWindowTitle(windowTitle() + QString::fromStdString(text));
}

void FormWindow::ShowCaption(const std::string& caption) {
  setWindowTitle(QString::fromStdString(caption));
}

void FormWindow::StartMinimised() { setWindowState(windowState() | Qt::WindowMinimized); }

void FormWindow::ShowWindowIcon() {
  images_[static_cast<std::size_t>(Image::kIco)]->setPixmap(windowIcon().pixmap(32, 32));
}

void FormWindow::FocusFirst(const ControlDesign& box) {
  if (box.box) boxes_[static_cast<std::size_t>(*box.box)]->setFocus();
}

void FormWindow::CentreOnScreen(bool shown) {
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) return;
  const QRect area = screen->geometry();
  QSize outer = frameGeometry().size();
  if (!shown) {  // no frame yet: reckon with the usual title bar and border
    const int border = style()->pixelMetric(QStyle::PM_DefaultFrameWidth);
    outer += QSize(2 * border, style()->pixelMetric(QStyle::PM_TitleBarHeight) + 2 * border);
  }
  move(area.x() + static_cast<int>((area.width() - outer.width()) / 2.0f),
       area.y() + static_cast<int>((area.height() - outer.height()) / 2.0f));
}

void FormWindow::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  if (event->type() == QEvent::WindowStateChange || event->type() == QEvent::ActivationChange) {
    UpdateCursorBlinking();
  }
  // A minimised window is not painted: its boxes take each text, and the window is painted
  // once when it is restored. (A platform that keeps a minimised window exposed would
  // otherwise paint it at every hand-over, and the style's painting starts pooled threads
  // and reads the time zone each time.)
  if (event->type() == QEvent::WindowStateChange && updatesEnabled() == isMinimized()) {
    setUpdatesEnabled(!isMinimized());
  }
  // The first time the window is seen at its normal size, its frame is known: centre by it.
  if (!centred_by_frame_ && isVisible() && !isMinimized() &&
      (event->type() == QEvent::WindowStateChange || event->type() == QEvent::ActivationChange)) {
    centred_by_frame_ = true;
    QTimer::singleShot(50, this, [this] { CentreOnScreen(true); });
  }
}

void FormWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!centred_by_frame_ && !isMinimized()) {
    centred_by_frame_ = true;
    QTimer::singleShot(50, this, [this] { CentreOnScreen(true); });
  }
}

void FormWindow::UpdateCursorBlinking() {
  const bool blink = !isMinimized() && isActiveWindow();
  const int wanted = blink ? cursor_flash_ms_ : 0;
  if (QApplication::cursorFlashTime() != wanted) QApplication::setCursorFlashTime(wanted);
}

void FormWindow::Activate() {
  setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
  show();
  if (ShownOnAScreen()) raise();
  activateWindow();
  if (error_box_ != nullptr) {  // a second start while the error is shown brings the box
    if (ShownOnAScreen()) error_box_->raise();
    error_box_->activateWindow();
  }
}

void FormWindow::closeEvent(QCloseEvent* event) {
  if (CloseAsked()) {
    QWidget::closeEvent(event);
  } else {
    event->ignore();
  }
}

void FormWindow::SetImageVisible(Image image, bool visible) {
  images_[static_cast<std::size_t>(image)]->setVisible(visible);
}

void FormWindow::SetInfoLabelToolTip(int index, const std::string& text) {
  info_labels_[static_cast<std::size_t>(index - 4)]->setToolTip(QString::fromStdString(text));
}

void FormWindow::SetMousePointer(int pointer) {
  const bool wait = pointer == kPointerHourglass;
  if (wait == wait_cursor_) return;
  wait_cursor_ = wait;
  if (wait) {
    QApplication::setOverrideCursor(Qt::WaitCursor);
  } else {
    QApplication::restoreOverrideCursor();
  }
}

void FormWindow::SetEnabled(bool enabled) { setEnabled(enabled); }

bool FormWindow::StartPresentTimer(int ms) {
  present_timer_.start(ms);
  return true;
}

void FormWindow::StopPresentTimer() { present_timer_.stop(); }

void FormWindow::ProcessPendingEvents() { QCoreApplication::processEvents(); }

bool FormWindow::ShowBoxText(Box box, const std::string& text) {
  QLineEdit* edit = boxes_[static_cast<std::size_t>(box)];
  const QString shown = QString::fromStdString(text);
  if (edit->text() == shown) return false;
  edit->setText(shown);
  return true;
}

void FormWindow::ShowBoxColor(Box box, std::uint32_t color) {
  QLineEdit* edit = boxes_[static_cast<std::size_t>(box)];
  QPalette pal = edit->palette();
  const QColor wanted = FromBgr(color);
  if (pal.color(QPalette::Base) != wanted) {
    pal.setColor(QPalette::Base, wanted);
    edit->setPalette(pal);
  }
}

// The room a box gives its text, in pixels.
int FormWindow::Room(QLineEdit* edit) const {
  QStyleOptionFrame option;
  option.initFrom(edit);
  option.lineWidth = edit->hasFrame() ? style()->pixelMetric(QStyle::PM_DefaultFrameWidth) : 0;
  return style()->subElementRect(QStyle::SE_LineEditContents, &option, edit).width() -
         edit->textMargins().left() - edit->textMargins().right() - 4;
}

void FormWindow::ShowInProgress(Box box, const std::string& tooltip, bool show_end) {
  QLineEdit* edit = boxes_[static_cast<std::size_t>(box)];
  const QString text = edit->text();
  edit->setToolTip(QString::fromStdString(tooltip));
  edit->setCursorPosition(show_end &&
                                  QFontMetrics(edit->font()).horizontalAdvance(text) > Room(edit)
                              ? static_cast<int>(text.size())
                              : 0);
}

void FormWindow::ShrinkToFit(Box box) {
  QLineEdit* edit = boxes_[static_cast<std::size_t>(box)];
  const int room = Room(edit);
  const QString text = edit->text();
  QFont f = font();
  while (QFontMetrics(f).horizontalAdvance(text) > room && f.pointSizeF() > 3) {
    f.setPointSizeF(f.pointSizeF() - 0.5);
  }
  if (edit->font() != f) edit->setFont(f);
  edit->setCursorPosition(0);
}

void FormWindow::StopTimer1() { timer1_->stop(); }

void FormWindow::HideUntilClosed() { hide(); }

// The window is hidden already, and a hidden window's close is no last window's: the program
// ends here.
void FormWindow::CloseNow() { QCoreApplication::quit(); }

// No box without a real display: the report is on standard error.
void FormWindow::ShowRunTimeError(const std::string& report) {
  if (!ShownOnAScreen()) return;
  if (isMinimized()) setWindowState(windowState() & ~Qt::WindowMinimized);  // or no box
  QMessageBox box(QMessageBox::Critical, QString::fromStdString(program_.title),
                  QString::fromStdString(report), QMessageBox::Ok, this);
  error_box_ = &box;
  box.exec();
  error_box_ = nullptr;
}

}  // namespace tarvex
