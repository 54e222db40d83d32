#include "windows/QVHeaderViewController.h"

#include <QtGui/QPainter>
#include <QtWidgets/QApplication>

#include "ui_QVHeaderViewController.h"
#include "uikit/ZKThemeManager.h"
#include "windows/QVDashboardNotifications.h"
#include "windows/QVDockedHeaderView.h"

ZK_INTERFACE_FORM(QVHeaderViewController, QVDockedHeaderView);

namespace {

// The window's close button as the desktop's title bars of this kind draw it: a small red disc whose
// cross shows while the pointer is over it.
class QVWindowCloseButton : public QAbstractButton {
 public:
  explicit QVWindowCloseButton(QWidget* parent) : QAbstractButton(parent) {
    setFixedSize(14, 14);
    setCursor(Qt::ArrowCursor);
    setAccessibleName(QStringLiteral("Close"));
    setToolTip(QStringLiteral("Close"));
    setAttribute(Qt::WA_Hover);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF disc = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(QColor(0xE2, 0x46, 0x3F), 0.75));
    painter.setBrush(isDown() ? QColor(0xBF, 0x40, 0x39) : QColor(0xFF, 0x5F, 0x57));
    painter.drawEllipse(disc);
    if (underMouse()) {
      painter.setPen(QPen(QColor(0x4D, 0x00, 0x00), 1.2));
      const QPointF c = disc.center();
      painter.drawLine(c + QPointF(-3, -3), c + QPointF(3, 3));
      painter.drawLine(c + QPointF(-3, 3), c + QPointF(3, -3));
    }
  }
};

}  // namespace

QVHeaderViewController::QVHeaderViewController(QObject* parent) : ZKViewController(parent) {}

QVHeaderViewController::~QVHeaderViewController() = default;

QVDockedHeaderView* QVHeaderViewController::headerView() const {
  return qobject_cast<QVDockedHeaderView*>(const_cast<QVHeaderViewController*>(this)->view());
}

void QVHeaderViewController::zk_viewDidLoad() {
  if (auto* form = ui<Ui::QVHeaderViewController>()) {
    windowButtonContainerView_ = form->windowButtonContainerView;
    settingsButton_ = form->settingsButton;
  } else {
    windowButtonContainerView_ = new QWidget(view());
  }
  if (settingsButton_)
    connect(settingsButton_, &QAbstractButton::clicked, this, &QVHeaderViewController::openPreferences);
  addWindowButtons();
  QPointer<QVHeaderViewController> self(this);
  themeObserver_ = platform::NotificationCenter::defaultCenter().addObserverForName(
      ZKThemeManagerNotificationThemeDidUpdate, nullptr, [self](const platform::Notification&) {
        QMetaObject::invokeMethod(qApp, [self] {
          if (self) self->applyTheme();
        });
      });
  applyTheme();
}

void QVHeaderViewController::applyTheme() {
  if (!settingsButton_) return;
  QColor color = ZKThemeManager::sharedManager().colorForKey(QStringLiteral("settingsIconColor"));
  if (!color.isValid()) color = Qt::gray;
  settingsButton_->setStyleSheet(QStringLiteral("QToolButton { color: %1; font-size: 17px; border: none; "
                                                "background: transparent; text-align: right; }")
                                     .arg(color.name(QColor::HexArgb)));
}

void QVHeaderViewController::addWindowButtons() {
  if (!windowButtonContainerView_) return;
  auto* close = new QVWindowCloseButton(windowButtonContainerView_);
  // The close button puts the window away the way the dockable window always does.
  connect(close, &QAbstractButton::clicked, this, [this] {
    if (QWidget* window = view()->window()) window->close();
  });
  int x = 0;
  for (QAbstractButton* button : {static_cast<QAbstractButton*>(close)}) {
    button->move(x, 0);
    button->show();
    x += button->width() + 6;
    windowButtons_.push_back(button);
  }
}

void QVHeaderViewController::openPreferences() {
  platform::NotificationCenter::defaultCenter().postNotificationName(QVShowSettingsMenuNotification, this);
}
