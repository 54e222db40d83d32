#pragma once

#include <QtCore/QString>
#include <QtCore/QStringList>
#include <cstdint>
#include <functional>
#include <memory>

class QWidget;

// The answers of an alert: its first, second and third buttons (a fourth gives 1003 and so on).
using ZKModalResponse = std::int64_t;
inline constexpr ZKModalResponse ZKAlertFirstButtonReturn = 1000;
inline constexpr ZKModalResponse ZKAlertSecondButtonReturn = 1001;
inline constexpr ZKModalResponse ZKAlertThirdButtonReturn = 1002;

// What an alert says and offers. The presenter writes the suppression box's state back when the
// alert ends, so the completion can read it.
class ZKAlert {
 public:
  enum class Style { Warning = 0, Informational = 1, Critical = 2 };

  static std::shared_ptr<ZKAlert> alert() { return std::make_shared<ZKAlert>(); }

  QString messageText;
  QString informativeText;
  Style alertStyle = Style::Warning;
  // Button titles, first to last; an alert without buttons shows one "OK".
  QStringList buttonTitles;
  bool showsSuppressionButton = false;
  QString suppressionButtonTitle = QStringLiteral("Do not show this message again");
  bool suppressionButtonState = false;

  void addButtonWithTitle(const QString& title) { buttonTitles.push_back(title); }
  // The titles shown: the given ones, or "OK" alone.
  QStringList effectiveButtonTitles() const {
    return buttonTitles.isEmpty() ? QStringList{QStringLiteral("OK")} : buttonTitles;
  }
};

// Shows alerts. Every alert of the application goes through the shared presenter, so tests answer
// alerts with scripted choices instead of a person.
class ZKAlertPresenter {
 public:
  using Completion = std::function<void(ZKModalResponse response)>;
  virtual ~ZKAlertPresenter() = default;

  // Shows the alert as a sheet on `window` (modal to that window; modal to the application without
  // one) and calls `completion` once, on the GUI thread, when it ends. Each alert keeps its own
  // completion, however many are open.
  virtual void beginSheet(const std::shared_ptr<ZKAlert>& alert, QWidget* window, Completion completion) = 0;

  // The message-box presenter unless a test installed another.
  static ZKAlertPresenter& shared();
  // Installs a presenter; nullptr brings back the message-box presenter.
  static void setShared(std::shared_ptr<ZKAlertPresenter> presenter);
};

// Shows alerts as window-modal message boxes; the suppression box is the message box's check box.
// A box closed without a button answers for its "Cancel" button, else for its last button.
class ZKMessageBoxPresenter : public ZKAlertPresenter {
 public:
  void beginSheet(const std::shared_ptr<ZKAlert>& alert, QWidget* window, Completion completion) override;
};

// After `delay` seconds, on the GUI thread, shows the alert as a sheet on the window through the
// shared presenter and hands its response to the completion (which may be empty).
void zk_beginSheetModalForWindow(const std::shared_ptr<ZKAlert>& alert, QWidget* window, double delay,
                                 ZKAlertPresenter::Completion completion);
void zk_beginSheetModalForWindow(const std::shared_ptr<ZKAlert>& alert, QWidget* window,
                                 ZKAlertPresenter::Completion completion);
