#pragma once

#include <QtWidgets/QWidget>
#include <optional>

#include "platform/KeyCombo.h"

class HKRecorderControl;

// Told when the user records a new combination (or clears it: an empty combination).
class HKRecorderDelegate {
 public:
  virtual ~HKRecorderDelegate() = default;
  virtual void hotKeyRecorderKeyComboDidChange(HKRecorderControl* recorder, _KeyCombo combo) = 0;
};

// A field that records a global hot key. A click (or Space/Return while it has focus) starts
// recording; the next key typed with at least one modifier (Control, Alt, Shift or Super) becomes the
// combination and is reported to the delegate. A key without a modifier is refused with a beep and
// recording goes on; Escape or leaving the field ends recording unchanged; Backspace or Delete clears
// the combination. The combination is kept in the design's codes (_KeyCombo) and shown as text such
// as "Ctrl+Alt+D".
class HKRecorderControl : public QWidget {
  Q_OBJECT

 public:
  explicit HKRecorderControl(QWidget* parent = nullptr);

  _KeyCombo keyCombo() const { return keyCombo_; }
  // Shows the combination; reports nothing.
  void setKeyCombo(_KeyCombo combo);
  HKRecorderDelegate* delegate() const { return delegate_; }
  void setDelegate(HKRecorderDelegate* delegate) { delegate_ = delegate; }
  bool isRecording() const { return recording_; }
  void setRecording(bool recording);
  // What the field shows now.
  QString displayText() const;
  // The text of a combination ("" for the empty one).
  static QString stringForKeyCombo(_KeyCombo combo);
  // The design's combination for a Qt key with modifiers; nullopt for a key the hot keys cannot use.
  static std::optional<_KeyCombo> keyComboForKey(int qtKey, Qt::KeyboardModifiers modifiers);
  // The design's modifier flags for Qt's modifiers.
  static std::uint64_t flagsForModifiers(Qt::KeyboardModifiers modifiers);

  QSize sizeHint() const override { return QSize(180, 26); }

 Q_SIGNALS:
  // A key without a modifier was typed while recording.
  void keyRefused();

 protected:
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;

 private:
  void recordCombo(_KeyCombo combo);

  _KeyCombo keyCombo_;
  HKRecorderDelegate* delegate_ = nullptr;
  bool recording_ = false;
  bool refusedLast_ = false;
};
