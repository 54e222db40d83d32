#pragma once

#include <QtWidgets/QLineEdit>
#include <cstdint>

#include "uikit/ZKAwakeFromNib.h"

// The text field of a table cell: borderless, over the row's own background, white while its row is
// selected and in its own colour otherwise. While the user edits it, its text takes a colour readable
// on the theme's window colour (black on a light theme, the theme's text colour on a dark one); when
// editing ends it shows the colour of its row's state again.
class ZKTableTextField : public QLineEdit, public ZKAwakeFromNib {
  Q_OBJECT

 public:
  // The background style of a selected row.
  static constexpr std::int64_t BackgroundStyleEmphasized = 1;

  explicit ZKTableTextField(QWidget* parent = nullptr);

  std::int64_t backgroundStyle() const { return backgroundStyle_; }
  // Stores the style and shows white for a selected row (style 1), else the original colour.
  virtual void setBackgroundStyle(std::int64_t style);
  // Kept for subclasses; a selected row shows white whatever it holds.
  QColor highlightColor() const { return highlightColor_; }
  void setHighlightColor(const QColor& color) { highlightColor_ = color; }
  // The colour shown while the row is not selected.
  QColor originalColor() const { return originalColor_; }
  void setOriginalColor(const QColor& color) { originalColor_ = color; }

  // The colour drawn now.
  QColor textColor() const { return palette().color(QPalette::Text); }
  // Shows the colour and keeps it as the original colour.
  void setTextColor(const QColor& color);
  // Shows the original colour, whatever the style.
  void updateTextColor();
  // The desktop's appearance changed.
  void appearanceDidChange() { updateTextColor(); }
  // The colour of text being edited.
  static QColor editingTextColor();

  void awakeFromNib() override;

 protected:
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void changeEvent(QEvent* event) override;
  // Shows a colour without keeping it.
  void showTextColor(const QColor& color);

 private:
  std::int64_t backgroundStyle_ = 0;
  QColor highlightColor_;
  QColor originalColor_;
};
