#include "app/HKRecorderControl.h"

#include <QtGui/QKeyEvent>
#include <QtGui/QKeySequence>
#include <QtGui/QMouseEvent>
#include <QtGui/QPainter>
#include <QtGui/QPainterPath>
#include <QtWidgets/QApplication>
#include <array>

#include "platform/desktop/ZKHotKeyHelper.h"

namespace {

// Keys whose X keysym differs from their Qt key code (the printable ones share theirs, letters as
// lower case).
struct HKSpecialKey {
  int qtKey;
  std::uint32_t keysym;
};
constexpr std::array<HKSpecialKey, 14> kHKSpecialKeys{{{Qt::Key_Return, 0xff0d},
                                                       {Qt::Key_Enter, 0xff8d},
                                                       {Qt::Key_Tab, 0xff09},
                                                       {Qt::Key_Home, 0xff50},
                                                       {Qt::Key_End, 0xff57},
                                                       {Qt::Key_PageUp, 0xff55},
                                                       {Qt::Key_PageDown, 0xff56},
                                                       {Qt::Key_Left, 0xff51},
                                                       {Qt::Key_Up, 0xff52},
                                                       {Qt::Key_Right, 0xff53},
                                                       {Qt::Key_Down, 0xff54},
                                                       {Qt::Key_Help, 0xff6a},
                                                       {Qt::Key_Clear, 0xff0b},
                                                       {Qt::Key_Space, 0x20}}};
constexpr std::uint32_t kHKKeysymF1 = 0xffbe;
constexpr std::uint64_t kHKCommand = 1ull << 20;
constexpr std::uint64_t kHKOption = 1ull << 19;
constexpr std::uint64_t kHKControl = 1ull << 18;
constexpr std::uint64_t kHKShift = 1ull << 17;

std::optional<std::uint32_t> hkKeysymForQtKey(int key) {
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return static_cast<std::uint32_t>(key - Qt::Key_A + 'a');
  if (key >= Qt::Key_F1 && key <= Qt::Key_F20)
    return kHKKeysymF1 + static_cast<std::uint32_t>(key - Qt::Key_F1);
  for (const auto& special : kHKSpecialKeys)
    if (special.qtKey == key) return special.keysym;
  if (key > 0x20 && key < 0x7f) return static_cast<std::uint32_t>(key);
  return std::nullopt;
}

std::optional<int> hkQtKeyForKeysym(std::uint32_t keysym) {
  if (keysym >= 'a' && keysym <= 'z') return Qt::Key_A + static_cast<int>(keysym - 'a');
  if (keysym >= kHKKeysymF1 && keysym < kHKKeysymF1 + 20)
    return Qt::Key_F1 + static_cast<int>(keysym - kHKKeysymF1);
  for (const auto& special : kHKSpecialKeys)
    if (special.keysym == keysym) return special.qtKey;
  if (keysym > 0x20 && keysym < 0x7f) return static_cast<int>(keysym);
  return std::nullopt;
}

// The design's key code of a keysym: the hot-key helper's table read backwards.
std::optional<std::int64_t> hkKeyCodeForKeysym(std::uint32_t keysym) {
  for (std::int64_t code = 0; code < 0x80; ++code)
    if (ZKHotKeyHelper::keysymForKeyCode(code) == keysym) return code;
  return std::nullopt;
}

}  // namespace

HKRecorderControl::HKRecorderControl(QWidget* parent) : QWidget(parent) {
  setFocusPolicy(Qt::StrongFocus);
  setAccessibleName(QStringLiteral("Hot key"));
  setMinimumSize(140, 24);
  setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

void HKRecorderControl::setKeyCombo(_KeyCombo combo) {
  keyCombo_ = combo;
  update();
}

void HKRecorderControl::setRecording(bool recording) {
  recording_ = recording;
  refusedLast_ = false;
  update();
}

std::uint64_t HKRecorderControl::flagsForModifiers(Qt::KeyboardModifiers modifiers) {
  std::uint64_t flags = 0;
  if (modifiers & Qt::ControlModifier) flags |= kHKControl;
  if (modifiers & Qt::AltModifier) flags |= kHKOption;
  if (modifiers & Qt::ShiftModifier) flags |= kHKShift;
  if (modifiers & Qt::MetaModifier) flags |= kHKCommand;
  return flags;
}

std::optional<_KeyCombo> HKRecorderControl::keyComboForKey(int qtKey, Qt::KeyboardModifiers modifiers) {
  const auto keysym = hkKeysymForQtKey(qtKey);
  if (!keysym) return std::nullopt;
  const auto code = hkKeyCodeForKeysym(*keysym);
  if (!code) return std::nullopt;
  return _KeyCombo{flagsForModifiers(modifiers), *code};
}

QString HKRecorderControl::stringForKeyCombo(_KeyCombo combo) {
  if (combo == _KeyCombo{}) return QString();
  QString text;
  if (combo.flags & kHKControl) text += QStringLiteral("Ctrl+");
  if (combo.flags & kHKOption) text += QStringLiteral("Alt+");
  if (combo.flags & kHKShift) text += QStringLiteral("Shift+");
  if (combo.flags & kHKCommand) text += QStringLiteral("Super+");
  const auto keysym = ZKHotKeyHelper::keysymForKeyCode(combo.code);
  const auto qtKey = keysym ? hkQtKeyForKeysym(*keysym) : std::nullopt;
  text += qtKey ? QKeySequence(*qtKey).toString(QKeySequence::PortableText)
                : QStringLiteral("Key %1").arg(combo.code);
  return text;
}

QString HKRecorderControl::displayText() const {
  if (recording_)
    return refusedLast_ ? QStringLiteral("Add Ctrl, Alt, Shift or Super") : QStringLiteral("Type shortcut");
  const QString text = stringForKeyCombo(keyCombo_);
  return text.isEmpty() ? QStringLiteral("Click to record shortcut") : text;
}

void HKRecorderControl::recordCombo(_KeyCombo combo) {
  setRecording(false);
  keyCombo_ = combo;
  update();
  if (delegate_) delegate_->hotKeyRecorderKeyComboDidChange(this, combo);
}

void HKRecorderControl::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setRenderHint(QPainter::Antialiasing);
  const QRectF frame = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
  QPainterPath path;
  path.addRoundedRect(frame, frame.height() / 2, frame.height() / 2);
  const QPalette& colours = palette();
  painter.fillPath(
      path, recording_ ? colours.color(QPalette::Highlight).lighter(170) : colours.color(QPalette::Base));
  painter.setPen(QPen(hasFocus() ? colours.color(QPalette::Highlight) : colours.color(QPalette::Mid), 1));
  painter.drawPath(path);
  painter.setPen(recording_ ? QColor(30, 30, 30) : colours.color(QPalette::Text));
  painter.drawText(rect(), Qt::AlignCenter, displayText());
}

void HKRecorderControl::mousePressEvent(QMouseEvent* event) {
  setFocus(Qt::MouseFocusReason);
  setRecording(!recording_);
  event->accept();
}

void HKRecorderControl::keyPressEvent(QKeyEvent* event) {
  const int key = event->key();
  const Qt::KeyboardModifiers modifiers =
      event->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::ShiftModifier | Qt::MetaModifier);
  if (!recording_) {
    if (key == Qt::Key_Space || key == Qt::Key_Return || key == Qt::Key_Enter) {
      setRecording(true);
      return;
    }
    if ((key == Qt::Key_Backspace || key == Qt::Key_Delete) && modifiers == Qt::NoModifier) {
      recordCombo(_KeyCombo{});
      return;
    }
    QWidget::keyPressEvent(event);
    return;
  }
  if (key == Qt::Key_Control || key == Qt::Key_Alt || key == Qt::Key_Shift || key == Qt::Key_Meta ||
      key == Qt::Key_Super_L || key == Qt::Key_Super_R || key == Qt::Key_AltGr)
    return;
  if (modifiers == Qt::NoModifier) {
    if (key == Qt::Key_Escape) {
      setRecording(false);
    } else if (key == Qt::Key_Backspace || key == Qt::Key_Delete) {
      recordCombo(_KeyCombo{});
    } else {
      refusedLast_ = true;
      update();
      QApplication::beep();
      Q_EMIT keyRefused();
    }
    return;
  }
  const auto combo = keyComboForKey(key, modifiers);
  if (!combo) {
    refusedLast_ = true;
    update();
    QApplication::beep();
    Q_EMIT keyRefused();
    return;
  }
  recordCombo(*combo);
}

void HKRecorderControl::focusOutEvent(QFocusEvent* event) {
  setRecording(false);
  QWidget::focusOutEvent(event);
}
