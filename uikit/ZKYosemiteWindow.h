#pragma once

#include <QtCore/QPointer>
#include <QtGui/QColor>
#include <QtWidgets/QLabel>
#include <QtWidgets/QWidget>

#include "uikit/ZKAwakeFromNib.h"

// A window whose own content covers its whole area: the window manager draws the frame, and the
// content view (`actualContentView`, with an optional title label) fills everything inside it. Forms
// of window controllers use it as their top-level widget and name the two parts.
class ZKYosemiteWindow : public QWidget, public ZKAwakeFromNib {
  Q_OBJECT

 public:
  explicit ZKYosemiteWindow(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);

  // The label that shows the window title, if the window has one; not owned here.
  QLabel* actualTitleLabel() const { return actualTitleLabel_; }
  void setActualTitleLabel(QLabel* label);
  // The view that holds the window's content.
  QWidget* actualContentView() const { return actualContentView_; }
  void setActualContentView(QWidget* view);
  // The background of the content, for subclasses to give (none here).
  virtual QColor contentBackgroundColor() const { return QColor(); }

  // The content spans the whole area inside the frame on this desktop.
  bool supportsFullsizeContentView() const { return true; }
  // Puts the content view over the whole window, following its size.
  void configureContentView();
  // The view that holds everything (the content view, or the window itself before it has one).
  QWidget* contentView() const;

  // Sets the window title and the title label's text.
  void setTitle(const QString& title);
  QString title() const { return windowTitle(); }

  // Finds the parts a form named "actualContentView" and "actualTitleLabel", then configures.
  void awakeFromNib() override;

 private:
  QPointer<QLabel> actualTitleLabel_;
  QPointer<QWidget> actualContentView_;
};

// A window that can always become the key window and take the keyboard, also without a frame.
class SFWindow : public ZKYosemiteWindow {
  Q_OBJECT

 public:
  explicit SFWindow(QWidget* parent = nullptr, Qt::WindowFlags flags = Qt::Window);

  bool canBecomeKeyWindow() const { return true; }
  bool canBecomeMainWindow() const { return true; }
  bool canBecomeFirstResponder() const { return true; }
  bool acceptsFirstResponder() const { return true; }
};
