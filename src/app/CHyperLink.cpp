#include "app/CHyperLink.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QPointer>
#include <QTimer>

#include "app/OpenerErrors.h"
#include "app/UiHooks.h"

CHyperLink::CHyperLink(const QString& text, QWidget* parent)
    : QLabel(text, parent), hover_timer_(new QTimer(this)) {
  setCursor(Qt::PointingHandCursor);
  setAttribute(Qt::WA_TranslucentBackground);
  setAutoFillBackground(false);
  // A missed leave event (a menu, a grab) must not leave the hover look.
  hover_timer_->setInterval(100);
  connect(hover_timer_, &QTimer::timeout, this, [this] {
    if (!rect().contains(mapFromGlobal(QCursor::pos()))) {
      hovered_ = false;
      hover_timer_->stop();
      Restyle();
    }
  });
  Restyle();
}

void CHyperLink::SetUrl(const std::string& url) {
  url_ = url;
  setToolTip(QString::fromStdString(url));
}

void CHyperLink::SetUnderline(Underline mode) {
  underline_ = mode;
  Restyle();
}

QColor CHyperLink::Colour() const {
  if (hovered_) return kHoverColour;
  return visited_ ? kVisitedColour : kLinkColour;
}

void CHyperLink::Restyle() {
  QPalette p = palette();
  p.setColor(QPalette::WindowText, Colour());
  setPalette(p);
  QFont f = font();
  f.setUnderline(underline_ == Underline::kAlways || (underline_ == Underline::kHover && hovered_));
  setFont(f);
  resize(sizeHint());
}

void CHyperLink::Open() {
  std::string reason;
  QPointer<CHyperLink> self(this);
  bool started = UiHooks::Get().open(url_, reason, [self](const std::string& later) {
    if (self) self->Fail(later);
  });
  if (!started) {
    Fail(reason);
    return;
  }
  visited_ = true;
  Restyle();
}

void CHyperLink::Fail(const std::string& reason) {
  QApplication::beep();
  UiHooks::Get().message(window(), std::string(OpenerErrors::kPrefix) + reason);
}

void CHyperLink::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) Open();
  QLabel::mouseReleaseEvent(event);
}

void CHyperLink::enterEvent(QEnterEvent* event) {
  hovered_ = true;
  hover_timer_->start();
  Restyle();
  QLabel::enterEvent(event);
}

void CHyperLink::leaveEvent(QEvent* event) {
  hovered_ = false;
  hover_timer_->stop();
  Restyle();
  QLabel::leaveEvent(event);
}
