#include "uikit/ZKYosemiteWindow.h"

#include <QtWidgets/QLabel>

#include "uikit/ZKAutoresizing.h"

ZKYosemiteWindow::ZKYosemiteWindow(QWidget* parent, Qt::WindowFlags flags) : QWidget(parent, flags) {}

void ZKYosemiteWindow::setActualTitleLabel(QLabel* label) {
  actualTitleLabel_ = label;
  if (label) label->setText(windowTitle());
}

void ZKYosemiteWindow::setActualContentView(QWidget* view) {
  actualContentView_ = view;
  configureContentView();
}

void ZKYosemiteWindow::configureContentView() {
  if (!actualContentView_) return;
  if (actualContentView_->parentWidget() != this) actualContentView_->setParent(this);
  // Above the window's other children, over the whole window.
  actualContentView_->raise();
  zk_fillParent(actualContentView_);
  actualContentView_->show();
}

QWidget* ZKYosemiteWindow::contentView() const {
  return actualContentView_ ? actualContentView_.data() : const_cast<ZKYosemiteWindow*>(this);
}

void ZKYosemiteWindow::setTitle(const QString& title) {
  setWindowTitle(title);
  if (actualTitleLabel_) actualTitleLabel_->setText(title);
}

void ZKYosemiteWindow::awakeFromNib() {
  if (!actualTitleLabel_) actualTitleLabel_ = findChild<QLabel*>(QStringLiteral("actualTitleLabel"));
  if (!actualContentView_) actualContentView_ = findChild<QWidget*>(QStringLiteral("actualContentView"));
  if (actualTitleLabel_ && !windowTitle().isEmpty()) actualTitleLabel_->setText(windowTitle());
  configureContentView();
}

SFWindow::SFWindow(QWidget* parent, Qt::WindowFlags flags) : ZKYosemiteWindow(parent, flags) {
  setFocusPolicy(Qt::StrongFocus);
  setAttribute(Qt::WA_ShowWithoutActivating, false);
  setAttribute(Qt::WA_X11DoNotAcceptFocus, false);
}
