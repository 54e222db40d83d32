#include "uikit/ZKElidedLabel.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QThread>
#include <QtGui/QFontMetrics>
#include <algorithm>

namespace {

void assertMainThread() {
  Q_ASSERT_X(
      !QCoreApplication::instance() || QThread::currentThread() == QCoreApplication::instance()->thread(),
      "ZKElidedLabel", "used off the main thread");
}

}  // namespace

ZKElidedLabel::ZKElidedLabel(const QString& text, QWidget* parent) : QLabel(parent) {
  setTextFormat(Qt::PlainText);
  setWordWrap(false);
  setFullText(text);
}

void ZKElidedLabel::setFullText(const QString& text) {
  assertMainThread();
  fullText_ = text;
  elide();
  updateGeometry();
}

QSize ZKElidedLabel::sizeHint() const {
  const QFontMetrics metrics(font());
  const QMargins margins = contentsMargins();
  return QSize(metrics.horizontalAdvance(fullText_) + 2 * margin() + margins.left() + margins.right(),
               QLabel::sizeHint().height());
}

QSize ZKElidedLabel::minimumSizeHint() const {
  const QFontMetrics metrics(font());
  const QMargins margins = contentsMargins();
  return QSize(
      metrics.horizontalAdvance(QStringLiteral("…")) + 2 * margin() + margins.left() + margins.right(),
      QLabel::minimumSizeHint().height());
}

void ZKElidedLabel::resizeEvent(QResizeEvent* event) {
  QLabel::resizeEvent(event);
  elide();
}

void ZKElidedLabel::changeEvent(QEvent* event) {
  QLabel::changeEvent(event);
  if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange) {
    elide();
    updateGeometry();
  }
}

void ZKElidedLabel::showEvent(QShowEvent* event) {
  QLabel::showEvent(event);
  elide();
}

void ZKElidedLabel::elide() {
  assertMainThread();
  // Before it is shown the label has no width of its own yet: it holds the whole text until then.
  const int width = contentsRect().width() - 2 * margin();
  const QString shown = isVisible()
                            ? QFontMetrics(font()).elidedText(fullText_, Qt::ElideRight, std::max(0, width))
                            : fullText_;
  // The shown text never changes the label's size hints, so setting it asks for no new layout.
  if (shown != text()) QLabel::setText(shown);
  setToolTip(shown == fullText_ ? QString() : fullText_);
}
