#include "uikit/ZKAutoresizing.h"

#include <QtCore/QEvent>
#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

namespace {
// Sits on the parent, follows its resizes, and goes with the child.
class FillParentFilter : public QObject {
 public:
  static constexpr const char* kName = "zkFillParent";
  explicit FillParentFilter(QWidget* child) : QObject(child), child_(child) {
    setObjectName(QLatin1String(kName));
  }

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Resize && child_ && watched == child_->parentWidget()) {
      child_->setGeometry(child_->parentWidget()->rect());
    }
    return false;
  }

 private:
  QPointer<QWidget> child_;
};
}  // namespace

void zk_fillParent(QWidget* child) {
  QWidget* parent = child ? child->parentWidget() : nullptr;
  if (!parent) return;
  // Filling a new parent replaces the filter kept for an earlier one.
  for (QObject* existing : child->children()) {
    if (existing->objectName() == QLatin1String(FillParentFilter::kName) &&
        dynamic_cast<FillParentFilter*>(existing)) {
      delete existing;
      break;
    }
  }
  parent->installEventFilter(new FillParentFilter(child));
  child->setGeometry(parent->rect());
}
