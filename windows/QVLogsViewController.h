#pragma once

#include <QtCore/QPointer>
#include <QtGui/QColor>
#include <QtGui/QTextCharFormat>
#include <memory>
#include <unordered_set>
#include <vector>

#include "engine/QVDashboardModule.h"
#include "engine/QVModuleLogLine.h"
#include "uikit/ZKViewController.h"

class EngineBridge;
class QPlainTextEdit;
class QTextCursor;
class QPushButton;
struct QVModuleLogSnapshot;

// The log tab of the edit-module sheet: one module's log lines as coloured monospaced text, one line
// per log line ("<date> - <type name> - <text>") on a background tinted by its type. It follows the
// log through the engine bridge and stays pinned to the end while the user is looking at the end.
// The colours are fixed: they do not follow the theme.
class QVLogsViewController : public ZKViewController {
  Q_OBJECT

 public:
  struct TypeColors {
    QColor text;
    QColor background;
  };

  explicit QVLogsViewController(QObject* parent = nullptr) : ZKViewController(parent) {}

  // A view of the module's log following `bridge` (a bridge of its own when null).
  static QVLogsViewController* controllerWithModule(const QVDashboardModule::Pointer& module,
                                                    EngineBridge* bridge = nullptr,
                                                    QObject* parent = nullptr);

  QVDashboardModule::Pointer module() const { return module_.lock(); }
  QPlainTextEdit* textView() const;
  QPushButton* runButton() const;
  // The lines now shown, oldest first.
  const std::vector<QVModuleLogLine::Pointer>& lines() const { return lines_; }

  void zk_viewDidLoad() override;
  void zk_viewWillAppear() override;

  // Rebuilds the whole text from the module's log.
  void reloadData();
  // Appends the given lines that are not shown yet (the same line objects), in order.
  void appendLogs(const std::vector<QVModuleLogLine::Pointer>& logLines);
  // The rendered text of one line, ending with a newline.
  static QString stringWithLine(const QVModuleLogLine& line);
  static QString stringWithType(std::int64_t type);
  static TypeColors colorWithType(std::int64_t type);
  // Whether the view shows the end of the text.
  bool isPinnedToEnd() const;
  // The run button's action: runs the module now.
  void test();

 private:
  void appendLine(QTextCursor& cursor, const QVModuleLogLine& line);
  void scrollToEndLater();
  void logDidChange(const QVModuleLogSnapshot& snapshot);

  std::weak_ptr<QVDashboardModule> module_;
  std::string uid_;
  QPointer<EngineBridge> bridge_;
  std::shared_ptr<void> follow_;
  std::vector<QVModuleLogLine::Pointer> lines_;
  std::unordered_set<const QVModuleLogLine*> shown_;
  bool scrollPending_ = false;
};
