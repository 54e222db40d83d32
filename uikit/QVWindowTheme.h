#pragma once

#include <QtCore/QObject>
#include <QtCore/QPointer>
#include <QtWidgets/QWidget>

#include "uikit/ZKThemable.h"

// Makes a window or view follow the theme: the window colour behind it, the
// text colour, fields and tables in the header colour, the separator colour for grids; item views get
// the kit's item-view style sheet. A child of the widget it themes, applied at once and after every
// theme change. Views added to the widget later are themed by calling `applyTheme` again. A widget
// can also be kept in one theme whatever the current one is (a popup that is always light).
class QVWindowTheme : public QObject, public ZKThemable {
  Q_OBJECT

 public:
  static QVWindowTheme* follow(QWidget* widget);
  // Keeps the widget in the theme class of that name ("DDLightTheme").
  static QVWindowTheme* keep(QWidget* widget, const QString& themeClassName);

  void applyTheme() override;

 private:
  explicit QVWindowTheme(QWidget* widget) : QObject(widget), widget_(widget) {}
  QPointer<QWidget> widget_;
  QString fixedTheme_;
};
