#pragma once

#include <QtCore/QPointer>
#include <QtCore/QString>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "httpserver/dashboard/QVServerHelper.h"
#include "uikit/ZKModuleViewController.h"

class ZKAlert;

namespace Ui {
class QVServerPreferencesController;
}

// The "Web Sharing" pane: starts the dashboard's HTTP server on the chosen port, shows and opens the
// address it is reached at while it runs, and stops it. Whether sharing is on and its port are the
// settings "serverEnabled" and "serverPort". While sharing is off because a start failed (at launch
// or from this pane), the pane says why under the port field.
class QVServerPreferencesController : public ZKModuleViewController {
  Q_OBJECT

 public:
  static constexpr const char* kHelpURL = "https://quorvane.example/support/web-sharing";

  explicit QVServerPreferencesController(QObject* parent = nullptr);
  ~QVServerPreferencesController() override;

  bool moduleIsResizable() const override { return false; }
  Ui::QVServerPreferencesController* form() const;

  // The server helper (the application's one unless set).
  void setServerHelper(QVServerHelper::Pointer helper) { serverHelper_ = std::move(helper); }
  QVServerHelper::Pointer serverHelper() const;

  // A port typed by the user: a whole number from 1 to 65535 (blanks around it allowed).
  static std::optional<std::int64_t> portFromText(const QString& text);

  // The alert of a start that did not listen: the fixed message and advice, then why it failed when
  // that is known.
  static std::shared_ptr<ZKAlert> startFailureAlert(const std::optional<std::string>& reason);

  QWidget* currentView() const { return currentView_; }
  void setCurrentView(QWidget* view);

  void awakeFromNib() override;
  void zk_viewWillAppear() override;
  void updateUI();

  // Actions.
  void enable();
  void disable();
  void openWebsite();
  void openHelp();

 private:
  // Under the port field: why the last start did not listen, while that is the state.
  void showStartFailure();

  QVServerHelper::Pointer serverHelper_;
  QPointer<QWidget> currentView_;
};
