#pragma once

#include <QtCore/QObject>
#include <QtGui/QColor>
#include <QtGui/QPalette>
#include <QtWidgets/QProxyStyle>
#include <functional>

#include "uikit/ZKThemable.h"

class ZKTheme;

// The WCAG contrast ratio of two opaque colours, from 1 (the same) to 21 (black and white).
double zk_contrastRatio(const QColor& a, const QColor& b);

// The theme as the application's palette: every window, sheet, alert, menu, popup and tooltip the
// application shows takes its colours from the current theme, when it is made and again whenever the
// theme changes, without each of them following the theme by itself. It also keeps the desktop's own
// palette, which is what tells whether the desktop itself is light or dark (the system appearance and
// the tray icon's colour), apart from the theme's. One per process, made by `install`; main thread only.
class QVApplicationTheme : public QObject, public ZKThemable {
  Q_OBJECT

 public:
  // A theme colour by key, or an invalid colour when the theme has none.
  using ColorLookup = std::function<QColor(const QString& key)>;

  // Makes the application follow the theme manager's current theme from now on (once; later calls do
  // nothing) and puts the theme's tick-box outlines into the application style.
  static void install();
  static bool isInstalled();

  // The desktop's palette: the application palette as it was before the theme took it over, or the
  // application palette itself while the theme has not.
  static QPalette desktopPalette();

  // The palette of a theme: window, text, fields, buttons, selection, links, tooltips and placeholder
  // text in the theme's colours, in every colour group, with dimmed text for disabled controls. A
  // theme without window or text colours gives `fallback`.
  static QPalette paletteWithColors(const ColorLookup& color, const QPalette& fallback);
  // The current theme's palette (the theme manager's), and that of a given theme whatever is current.
  static QPalette currentThemePalette(const QPalette& fallback);
  static QPalette paletteOfTheme(const ZKTheme* theme, const QPalette& fallback);

  // The outline of a tick box or radio button in a theme: its text colour, dimmed, which stands out
  // from its window and field colours in both themes. Invalid when the theme has no text colour.
  static QColor indicatorOutlineColor(const QColor& textColor);

  void applyTheme() override;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  explicit QVApplicationTheme(QObject* parent);
  void refreshDesktopPalette();

  QPalette desktopPalette_;
  bool applied_ = false;
  bool applying_ = false;
  bool refreshQueued_ = false;
};

// The application's style with the theme's outline around tick boxes and radio buttons, so that an
// unticked box reads on dark surfaces as well as on light ones; everything else is the base style's.
class ZKThemeStyle : public QProxyStyle {
  Q_OBJECT

 public:
  explicit ZKThemeStyle(QStyle* base = nullptr) : QProxyStyle(base) {}

  void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                     const QWidget* widget = nullptr) const override;
};
