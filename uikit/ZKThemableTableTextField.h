#pragma once

#include "uikit/ZKTableTextField.h"
#include "uikit/ZKThemable.h"

// A table text field whose font, text colour and highlight colour follow the theme; the colour of its
// row's state is shown again after each.
class ZKThemableTableTextField : public ZKTableTextField, public ZKThemable {
  Q_OBJECT
  Q_PROPERTY(QString fontKey READ fontKey WRITE setFontKey)
  Q_PROPERTY(QString textColorKey READ textColorKey WRITE setTextColorKey)
  Q_PROPERTY(QString highlightedTextColorKey READ highlightedTextColorKey WRITE setHighlightedTextColorKey)

 public:
  explicit ZKThemableTableTextField(QWidget* parent = nullptr);

  QString fontKey() const { return fontKey_; }
  void setFontKey(const QString& key);
  QString textColorKey() const { return textColorKey_; }
  void setTextColorKey(const QString& key);
  QString highlightedTextColorKey() const { return highlightedTextColorKey_; }
  void setHighlightedTextColorKey(const QString& key);

  void applyTheme() override;
  void awakeFromNib() override;

 private:
  QString fontKey_;
  QString textColorKey_;
  QString highlightedTextColorKey_;
};
