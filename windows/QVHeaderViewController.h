#pragma once

#include <QtCore/QPointer>
#include <QtWidgets/QAbstractButton>
#include <vector>

#include "platform/NotificationCenter.h"
#include "uikit/ZKViewController.h"

class QVDockedHeaderView;

// The dashboard window's header: the window's close button at its left, the title, and the settings
// button, which asks for the settings menu at the pointer.
class QVHeaderViewController : public ZKViewController {
  Q_OBJECT

 public:
  explicit QVHeaderViewController(QObject* parent = nullptr);
  ~QVHeaderViewController() override;

  void zk_viewDidLoad() override;
  // Places the window buttons (the close button only) left to right, 6 points apart.
  void addWindowButtons();
  // The settings button: posts "QVShowSettingsMenu".
  void openPreferences();

  QWidget* windowButtonContainerView() const { return windowButtonContainerView_; }
  const std::vector<QAbstractButton*>& windowButtons() const { return windowButtons_; }
  QAbstractButton* settingsButton() const { return settingsButton_; }
  QVDockedHeaderView* headerView() const;

 private:
  void applyTheme();

  QPointer<QWidget> windowButtonContainerView_;
  QPointer<QAbstractButton> settingsButton_;
  std::vector<QAbstractButton*> windowButtons_;
  platform::ObserverToken themeObserver_;
};
