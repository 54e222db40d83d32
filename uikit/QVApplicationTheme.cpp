#include "uikit/QVApplicationTheme.h"

#include <QtCore/QEvent>
#include <QtCore/QThread>
#include <QtCore/QTimer>
#include <QtGui/QGuiApplication>
#include <QtGui/QPainter>
#include <QtWidgets/QApplication>
#include <QtWidgets/QStyleFactory>
#include <QtWidgets/QStyleOption>
#include <QtWidgets/QToolTip>
#include <cmath>

#include "uikit/ZKTheme.h"
#include "uikit/ZKThemeManager.h"

namespace {

QVApplicationTheme* gApplicationTheme = nullptr;

double relativeLuminance(const QColor& color) {
  auto channel = [](float value) {
    const double c = value;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
  };
  const QColor rgb = color.toRgb();
  return 0.2126 * channel(rgb.redF()) + 0.7152 * channel(rgb.greenF()) + 0.0722 * channel(rgb.blueF());
}

// The theme's colour for a key when the theme answers that key; a key the theme lacks gives an invalid
// colour without a lookup (a missing key is reported on every lookup).
QColor themeColor(const ZKTheme* theme, const QString& key, ZKThemeManager* manager) {
  if (!theme || !theme->respondsToKey(key)) return QColor();
  if (manager) return manager->colorForKey(key);
  return theme->valueForKey(key).value<QColor>();
}

}  // namespace

double zk_contrastRatio(const QColor& a, const QColor& b) {
  const double la = relativeLuminance(a), lb = relativeLuminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QVApplicationTheme::QVApplicationTheme(QObject* parent) : QObject(parent) {}

void QVApplicationTheme::install() {
  Q_ASSERT(!qApp || QThread::currentThread() == qApp->thread());
  if (gApplicationTheme || !qobject_cast<QApplication*>(QCoreApplication::instance())) return;
  // The style first: a new application style sets the palettes back to the desktop's.
  if (!qobject_cast<ZKThemeStyle*>(QApplication::style())) {
    QStyle* base = QStyleFactory::create(QApplication::style()->name());
    if (!base) base = QStyleFactory::create(QStringLiteral("Fusion"));
    QApplication::setStyle(new ZKThemeStyle(base));
  }
  gApplicationTheme = new QVApplicationTheme(qApp);
  gApplicationTheme->desktopPalette_ = QGuiApplication::palette();
  qApp->installEventFilter(gApplicationTheme);
  gApplicationTheme->configure();
}

bool QVApplicationTheme::isInstalled() { return gApplicationTheme != nullptr; }

QPalette QVApplicationTheme::desktopPalette() {
  if (gApplicationTheme && gApplicationTheme->applied_) return gApplicationTheme->desktopPalette_;
  return QGuiApplication::palette();
}

QPalette QVApplicationTheme::paletteWithColors(const ColorLookup& color, const QPalette& fallback) {
  const QColor window = color(QStringLiteral("windowColor"));
  const QColor text = color(QStringLiteral("textColor"));
  if (!window.isValid() || !text.isValid()) return fallback;
  QColor field = color(QStringLiteral("windowHeaderColor"));
  if (!field.isValid()) field = window;
  // Buttons are drawn as fields: the base style lightens a dark button colour, and the theme's text
  // reads on its field colour.
  const QColor button = field;
  QColor accent = color(QStringLiteral("spaceLabelColor"));
  if (!accent.isValid()) accent = fallback.color(QPalette::Highlight);
  // Selected rows and menu entries show white text: on the theme's selected-row colour where it is a
  // strong colour (the dark theme's blue), else on the theme's accent; darkened as far as white body
  // text needs to read on it.
  QColor selection = color(QStringLiteral("sidebarTableSelectedBackgroundColor"));
  if (!selection.isValid() || zk_contrastRatio(selection, Qt::white) < 3.0) selection = accent;
  for (int step = 0; step < 20 && zk_contrastRatio(selection, Qt::white) < 4.5; ++step)
    selection = selection.darker(104);

  QPalette palette(button, window);
  const auto set = [&palette](QPalette::ColorRole role, const QColor& value) {
    palette.setColor(role, value);
  };
  set(QPalette::Window, window);
  set(QPalette::WindowText, text);
  set(QPalette::Base, field);
  set(QPalette::AlternateBase, window);
  set(QPalette::Text, text);
  set(QPalette::Button, button);
  set(QPalette::ButtonText, text);
  set(QPalette::ToolTipBase, field);
  set(QPalette::ToolTipText, text);
  set(QPalette::Highlight, selection);
  set(QPalette::HighlightedText, Qt::white);
  set(QPalette::Link, accent);
  set(QPalette::LinkVisited, accent);
  QColor placeholder = text;
  placeholder.setAlphaF(text.alphaF() * 0.45f);
  set(QPalette::PlaceholderText, placeholder);
  // Disabled controls show their text dimmed, over the same surfaces.
  QColor dimmed = text;
  dimmed.setAlphaF(text.alphaF() * 0.45f);
  for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    palette.setColor(QPalette::Disabled, role, dimmed);
  return palette;
}

QPalette QVApplicationTheme::currentThemePalette(const QPalette& fallback) {
  auto& manager = ZKThemeManager::sharedManager();
  const ZKTheme* theme = manager.currentTheme();
  return paletteWithColors([&](const QString& key) { return themeColor(theme, key, &manager); }, fallback);
}

QPalette QVApplicationTheme::paletteOfTheme(const ZKTheme* theme, const QPalette& fallback) {
  return paletteWithColors([theme](const QString& key) { return themeColor(theme, key, nullptr); }, fallback);
}

QColor QVApplicationTheme::indicatorOutlineColor(const QColor& textColor) {
  if (!textColor.isValid()) return QColor();
  QColor outline = textColor;
  outline.setAlphaF(textColor.alphaF() * 0.6f);
  return outline;
}

void QVApplicationTheme::applyTheme() {
  // Until a theme is chosen the desktop's palette stays.
  if (!ZKThemeManager::sharedManager().currentTheme()) return;
  const QPalette palette = currentThemePalette(desktopPalette_);
  applying_ = true;
  applied_ = true;
  QApplication::setPalette(palette);
  QToolTip::setPalette(palette);
  applying_ = false;
}

bool QVApplicationTheme::eventFilter(QObject* watched, QEvent* event) {
  // The desktop's own theme changed: its palette is read again (once for all its windows' events).
  if (event->type() == QEvent::ThemeChange && watched->isWindowType() && !applying_ && !refreshQueued_) {
    refreshQueued_ = true;
    QTimer::singleShot(0, this, [this] { refreshDesktopPalette(); });
  }
  return QObject::eventFilter(watched, event);
}

void QVApplicationTheme::refreshDesktopPalette() {
  refreshQueued_ = false;
  if (!applied_) {
    desktopPalette_ = QGuiApplication::palette();
    return;
  }
  // A palette with no colours of its own is the desktop's once set.
  applying_ = true;
  QApplication::setPalette(QPalette());
  desktopPalette_ = QGuiApplication::palette();
  applying_ = false;
  applyTheme();
}

void ZKThemeStyle::drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                                 const QWidget* widget) const {
  QProxyStyle::drawPrimitive(element, option, painter, widget);
  if (element != PE_IndicatorCheckBox || !option || !painter) return;
  // A keyboard-focused box keeps the base style's focus outline.
  if ((option->state & State_HasFocus) && (option->state & State_KeyboardFocusChange)) return;
  const QColor outline = QVApplicationTheme::indicatorOutlineColor(option->palette.color(QPalette::Text));
  if (!outline.isValid()) return;
  painter->save();
  painter->setRenderHint(QPainter::Antialiasing, true);
  painter->setBrush(Qt::NoBrush);
  painter->setPen(QPen(outline, 1));
  // Over the base style's own one-pixel outline, on whole pixels.
  painter->drawRect(QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5));
  painter->restore();
}
