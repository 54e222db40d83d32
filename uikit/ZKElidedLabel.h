#pragma once

#include <QtWidgets/QLabel>

// A one-line label for a text that may be wider than the room it gets (a module's description in a
// row): once shown, the text is cut at the end with "…" to the label's width, and while it is cut the
// whole text is the label's tooltip (a hidden label holds the whole text). The label asks for its whole
// text's width but a layout may make it as narrow as "…" alone. Plain text only. Main thread only.
class ZKElidedLabel : public QLabel {
  Q_OBJECT

 public:
  explicit ZKElidedLabel(const QString& text = {}, QWidget* parent = nullptr);

  // The whole text (QLabel::text() is what is shown).
  QString fullText() const { return fullText_; }
  void setFullText(const QString& text);
  // Whether the label shows less than its whole text now.
  bool isElided() const { return text() != fullText_; }

  QSize sizeHint() const override;
  QSize minimumSizeHint() const override;

 protected:
  void resizeEvent(QResizeEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void changeEvent(QEvent* event) override;

 private:
  // Cuts the whole text to the width there is now and sets the tooltip to match.
  void elide();

  QString fullText_;
};
