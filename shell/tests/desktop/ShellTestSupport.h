#pragma once

#include <QtWidgets/QLabel>
#include <QtWidgets/QVBoxLayout>
#include <QtWidgets/QWidget>
#include <memory>
#include <string>

#include "engine/QVRunNotifications.h"
#include "platform/NotificationCenter.h"
#include "platform/desktop/testing/GuiTest.h"
#include "shell/MTStatusItem.h"
#include "shell/QVUserDefaults.h"
#include "shell/STDockableWindowController.h"

namespace shelltesting {

// A status item whose tray slot is given: the tray stand-in of the offscreen tests.
class SlotStatusItem : public MTStatusItem {
 public:
  explicit SlotStatusItem(QRect slot) : slot_(slot) {}
  bool isInTray() const override { return true; }
  QRect frame() const override { return slot_; }
  void setSlot(QRect slot) { slot_ = slot; }

 private:
  QRect slot_;
};

// A dockable window whose fades can be made visible (as with a compositor) or not.
class TestDockableWindowController : public STDockableWindowController {
 public:
  bool fades = false;

 protected:
  bool fadesAreVisible() const override { return fades; }
};

// The content of the test windows: a light card with a title and a line of text.
inline QWidget* makeDashboardWindow(QSize size) {
  auto* window = new QWidget;
  window->setObjectName(QStringLiteral("dashboard"));
  window->setWindowTitle(QStringLiteral("Quorvane Dashboard"));
  window->setAutoFillBackground(true);
  QPalette palette = window->palette();
  palette.setColor(QPalette::Window, QColor(246, 246, 246));
  palette.setColor(QPalette::WindowText, QColor(30, 30, 30));
  window->setPalette(palette);
  auto* layout = new QVBoxLayout(window);
  auto* title = new QLabel(QStringLiteral("<b>Dashboard</b>"));
  title->setAlignment(Qt::AlignCenter);
  layout->addWidget(title);
  layout->addWidget(new QLabel(QStringLiteral("🌦  Weather · 12 °C, light rain")));
  layout->addWidget(new QLabel(QStringLiteral("💾  Disk · 412.50 GB free")));
  layout->addStretch();
  window->resize(size);
  return window;
}

// Settings of their own for each test, and a count of the window notifications.
class ShellTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    store_ = platform::SettingsStore::inMemoryStore();
    QVUserDefaults::setStandardUserDefaults(QVUserDefaults::make(store_, nullptr));
    auto& center = platform::NotificationCenter::defaultCenter();
    willShow_ = center.addObserverForName(QVDockableWindowWillShowNotification, nullptr,
                                          [this](const platform::Notification&) { ++willShowCount; });
    didHide_ = center.addObserverForName(QVDockableWindowDidHideNotification, nullptr,
                                         [this](const platform::Notification&) { ++didHideCount; });
  }

  void TearDown() override {
    willShow_ = {};
    didHide_ = {};
    GuiTest::TearDown();
    QVUserDefaults::setStandardUserDefaults(nullptr);
  }

 public:
  QVUserDefaults& defaults() { return *QVUserDefaults::standardUserDefaults(); }

  int willShowCount = 0;
  int didHideCount = 0;

 protected:
  std::shared_ptr<platform::SettingsStore> store_;
  platform::ObserverToken willShow_;
  platform::ObserverToken didHide_;
};

}  // namespace shelltesting
