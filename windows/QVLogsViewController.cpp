#include "windows/QVLogsViewController.h"

#include <QtCore/QDateTime>
#include <QtCore/QLocale>
#include <QtCore/QRegularExpression>
#include <QtCore/QTimer>
#include <QtGui/QFontDatabase>
#include <QtGui/QTextBlock>
#include <QtGui/QTextCursor>
#include <QtGui/QTextDocument>
#include <QtWidgets/QPlainTextEdit>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollBar>
#include <map>

#include "engine/QVEngineEnvironment.h"
#include "engine/QVModuleLog.h"
#include "engine/desktop/EngineBridge.h"
#include "platform/desktop/QtText.h"
#include "ui_QVLogsViewController.h"

ZK_INTERFACE_FORM(QVLogsViewController, QWidget);

namespace {

// Monaco where it is installed, else the desktop's fixed-width font, at 12 points.
QFont logFont() {
  QFont font(QStringLiteral("Monaco"));
  font.setStyleHint(QFont::Monospace);
  if (!font.exactMatch()) font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSizeF(12);
  return font;
}

// The platform's short date and medium time (a time with seconds, without its zone).
QString formattedDate(const platform::Date& date) {
  static const QString timeFormat = [] {
    QString format = QLocale().timeFormat(QLocale::LongFormat);
    format.remove(QRegularExpression(QStringLiteral("\\s*t+")));
    return format.trimmed();
  }();
  const QDateTime when =
      QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(date.timeIntervalSince1970() * 1000.0));
  const QLocale locale;
  return locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
         locale.toString(when.time(), timeFormat);
}

QColor rgb(double red, double green, double blue) {
  return QColor::fromRgbF(float(red), float(green), float(blue));
}

}  // namespace

QVLogsViewController* QVLogsViewController::controllerWithModule(const QVDashboardModule::Pointer& module,
                                                                 EngineBridge* bridge, QObject* parent) {
  auto* instance = new QVLogsViewController(parent);
  instance->module_ = module;
  if (module) instance->uid_ = module->uid();
  instance->bridge_ =
      bridge ? bridge : new EngineBridge(nullptr, platform::NotificationCenter::defaultCenter(), instance);
  instance->loadFromInterface();
  return instance;
}

QPlainTextEdit* QVLogsViewController::textView() const {
  auto* form = ui<Ui::QVLogsViewController>();
  return form ? form->textView : nullptr;
}

QPushButton* QVLogsViewController::runButton() const {
  auto* form = ui<Ui::QVLogsViewController>();
  return form ? form->runButton : nullptr;
}

void QVLogsViewController::zk_viewDidLoad() {
  ZKViewController::zk_viewDidLoad();
  if (auto* button = runButton()) connect(button, &QPushButton::clicked, this, &QVLogsViewController::test);
  if (auto* text = textView()) {
    text->setReadOnly(true);
    text->setFont(logFont());
    text->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    // The log's colours are fixed, so the view behind them is too.
    QPalette palette = text->palette();
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::Text, Qt::black);
    text->setPalette(palette);
  }
  reloadData();
  if (bridge_) {
    connect(bridge_, &EngineBridge::moduleLogDidChange, this, &QVLogsViewController::logDidChange);
    follow_ = bridge_->followModuleLog(module_.lock());
  }
}

void QVLogsViewController::zk_viewWillAppear() {
  ZKViewController::zk_viewWillAppear();
  if (zk_viewHasLoaded()) reloadData();
}

void QVLogsViewController::logDidChange(const QVModuleLogSnapshot& snapshot) {
  if (snapshot.uid != uid_) return;
  appendLogs(snapshot.lines);
}

QString QVLogsViewController::stringWithType(std::int64_t type) {
  switch (type) {
    case 0:
      return QStringLiteral("Log");
    case 1:
      return QStringLiteral("Warning");
    case 2:
      return QStringLiteral("Error");
    case 3:
      return QStringLiteral("Info");
    case 4:
      return QStringLiteral("Result");
    case 5:
      return QStringLiteral("Result Failed");
    case 6:
      return QStringLiteral("Notification");
    case 7:
      return QStringLiteral("System");
    default:
      return QStringLiteral("Unknown");
  }
}

QVLogsViewController::TypeColors QVLogsViewController::colorWithType(std::int64_t type) {
  static const std::map<std::int64_t, TypeColors> table = {
      {-1, {Qt::black, Qt::white}},
      {0, {Qt::black, Qt::white}},
      {1, {rgb(0.3569, 0.2353, 0.0314), rgb(1.0, 0.9843, 0.902)}},
      {2, {rgb(0.9882, 0.1961, 0.2471), rgb(1.0, 0.9412, 0.9412)}},
      {3, {rgb(0.1882, 0.5451, 1.0), rgb(0.898, 0.9412, 1.0)}},
      {4, {Qt::black, rgb(0.898, 1.0, 0.9137)}},
      {5, {rgb(0.9882, 0.1961, 0.2471), rgb(1.0, 0.9412, 0.9412)}},
      {6, {rgb(0.1882, 0.5451, 1.0), rgb(0.898, 0.9412, 1.0)}},
      {7, {rgb(0.1882, 0.5451, 1.0), rgb(0.898, 0.9412, 1.0)}},
  };
  // A type outside the table (only a hand-edited log file holds one) looks like an unknown type.
  auto found = table.find(type);
  return found != table.end() ? found->second : table.at(-1);
}

QString QVLogsViewController::stringWithLine(const QVModuleLogLine& line) {
  // Text that is not UTF-8 shows replacement characters.
  const QString text = platform::toQString(line.logString().value_or("<No Log>"));
  return QStringLiteral("%1 - %2 - %3\n")
      .arg(formattedDate(line.date()), stringWithType(static_cast<std::int64_t>(line.type())), text);
}

bool QVLogsViewController::isPinnedToEnd() const {
  auto* text = textView();
  if (!text) return false;
  const QScrollBar* bar = text->verticalScrollBar();
  return bar->value() >= bar->maximum();
}

void QVLogsViewController::appendLine(QTextCursor& cursor, const QVModuleLogLine& line) {
  const TypeColors colors = colorWithType(static_cast<std::int64_t>(line.type()));
  QTextCharFormat characters;
  characters.setForeground(colors.text);
  characters.setBackground(colors.background);
  QTextBlockFormat block;
  block.setBackground(colors.background);
  block.setLineHeight(110, QTextBlockFormat::ProportionalHeight);
  QString text = stringWithLine(line);
  text.chop(1);  // each line is a block of its own
  // Line and paragraph separators inside a log text would start blocks of their own.
  text.replace(QChar::LineSeparator, QLatin1Char(' ')).replace(QChar::ParagraphSeparator, QLatin1Char(' '));
  text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
  if (cursor.document()->isEmpty() && cursor.block().text().isEmpty() && cursor.blockNumber() == 0) {
    cursor.setBlockFormat(block);
    cursor.setBlockCharFormat(characters);
  } else {
    cursor.insertBlock(block, characters);
  }
  cursor.insertText(text, characters);
}

void QVLogsViewController::reloadData() {
  auto* text = textView();
  if (!text) return;
  auto module = module_.lock();
  auto log = module ? module->log() : nullptr;
  lines_ = log ? log->logLines() : std::vector<QVModuleLogLine::Pointer>();
  shown_.clear();
  const bool pinned = scrollPending_ || isPinnedToEnd();
  text->clear();
  QTextCursor cursor(text->document());
  cursor.beginEditBlock();
  for (const auto& line : lines_) {
    if (!line) continue;
    shown_.insert(line.get());
    appendLine(cursor, *line);
  }
  cursor.endEditBlock();
  text->setFont(logFont());
  if (pinned) scrollToEndLater();
}

void QVLogsViewController::appendLogs(const std::vector<QVModuleLogLine::Pointer>& logLines) {
  auto* text = textView();
  if (!text) return;
  // The new lines are the ones after the last line already shown; looking from the end keeps a
  // burst of lines linear however long the log is.
  std::size_t first = logLines.size();
  while (first > 0 && logLines[first - 1] && !shown_.count(logLines[first - 1].get())) --first;
  if (first == logLines.size()) return;
  const bool pinned = scrollPending_ || isPinnedToEnd();
  QTextCursor cursor(text->document());
  cursor.movePosition(QTextCursor::End);
  cursor.beginEditBlock();
  for (std::size_t i = first; i < logLines.size(); ++i) {
    const auto& line = logLines[i];
    if (!line || !shown_.insert(line.get()).second) continue;
    lines_.push_back(line);
    appendLine(cursor, *line);
  }
  cursor.endEditBlock();
  if (pinned) scrollToEndLater();
}

void QVLogsViewController::scrollToEndLater() {
  if (scrollPending_) return;
  scrollPending_ = true;
  QTimer::singleShot(0, this, [this] {
    scrollPending_ = false;
    auto* text = textView();
    if (!text) return;
    QTextCursor end(text->document());
    end.movePosition(QTextCursor::End);
    text->setTextCursor(end);
    text->verticalScrollBar()->setValue(text->verticalScrollBar()->maximum());
  });
}

void QVLogsViewController::test() {
  if (auto* button = runButton()) button->setChecked(false);
  if (auto module = module_.lock()) QVEngineEnvironment::runModule(module);
}
