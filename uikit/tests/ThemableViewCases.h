#pragma once
// The themable view classes as a table shared by the theme tests: how to make each with its keys set
// as a form would, and what its driven property shows.

#include <QtGui/QColor>
#include <QtWidgets/QWidget>
#include <cmath>
#include <functional>
#include <vector>

#include "uikit/BHThemableWindow.h"
#include "uikit/ZKThemableScrollView.h"
#include "uikit/ZKThemableTableTextField.h"
#include "uikit/ZKThemableTableView.h"
#include "uikit/ZKThemableTextField.h"
#include "uikit/ZKThemableView.h"
#include "uikit/ZKThemeManager.h"

namespace themable_cases {

inline const QColor kLightText = QColor::fromRgbF(0.2235f, 0.2392f, 0.2549f);
inline const QColor kDarkText = QColor::fromRgbF(1, 1, 1, 0.85f);
inline const QColor kDarkWindow = QColor::fromRgbF(0.2f, 0.2196f, 0.2431f);

inline bool near(const QColor& a, const QColor& b) {
  return std::abs(a.redF() - b.redF()) < 0.002 && std::abs(a.greenF() - b.greenF()) < 0.002 &&
         std::abs(a.blueF() - b.blueF()) < 0.002 && std::abs(a.alphaF() - b.alphaF()) < 0.002;
}

// One themable class: how to make it with its keys set as a form would, and what it shows.
struct ViewCase {
  const char* name;
  std::function<QWidget*()> make;
  // The driven property's value now.
  std::function<QColor(QWidget*)> shown;
  QColor light;
  QColor dark;
};

inline std::vector<ViewCase> viewCases() {
  return {
      {"view background",
       [] {
         auto* v = new ZKThemableView;
         v->setProperty("backgroundColorKey", "windowColor");
         return v;
       },
       [](QWidget* w) { return static_cast<ZKThemableView*>(w)->backgroundColor(); }, QColor(Qt::white),
       kDarkWindow},
      {"view border",
       [] {
         auto* v = new ZKThemableView;
         v->setProperty("borderColorKey", "windowHeaderSeparatorColor");
         return v;
       },
       [](QWidget* w) { return static_cast<ZKThemableView*>(w)->borderColor(); },
       QColor::fromRgbF(0.7569f, 0.7608f, 0.7647f), QColor::fromRgbF(0.3059f, 0.3333f, 0.3647f)},
      {"text field",
       [] {
         auto* v = new ZKThemableTextField;
         v->setProperty("fontKey", "textFont");
         v->setProperty("textColorKey", "textColor");
         return v;
       },
       [](QWidget* w) { return static_cast<ZKThemableTextField*>(w)->textColor(); }, kLightText, kDarkText},
      {"table text field",
       [] {
         auto* v = new ZKThemableTableTextField;
         v->setProperty("textColorKey", "table-value-color");
         return v;
       },
       [](QWidget* w) { return static_cast<ZKThemableTableTextField*>(w)->textColor(); }, QColor(Qt::black),
       QColor(Qt::white)},
      {"scroll view",
       [] {
         auto* v = new ZKThemableScrollView;
         v->setProperty("backgroundColorKey", "sidebarColor");
         return v;
       },
       [](QWidget* w) { return static_cast<ZKThemableScrollView*>(w)->backgroundColor(); },
       QColor::fromRgbF(0.9725f, 0.9804f, 0.9804f), QColor::fromRgbF(0.1647f, 0.1804f, 0.2f)},
      {"table view",
       [] {
         auto* v = new ZKThemableTableView;
         v->setProperty("backgroundColorKey", "windowColor");
         v->setProperty("gridColorKey", "detailsTableSeparatorColor");
         v->awakeFromNib();
         ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
         ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
         return v;
       },
       [](QWidget* w) { return static_cast<ZKThemableTableView*>(w)->gridColor(); },
       QColor::fromRgbF(0.9294f, 0.9294f, 0.9294f), QColor::fromRgbF(0.3059f, 0.3333f, 0.3647f)},
      {"window",
       [] {
         auto* v = new BHThemableWindow;
         v->setProperty("backgroundColorKey", "windowColor");
         return v;
       },
       [](QWidget* w) { return static_cast<BHThemableWindow*>(w)->backgroundColor(); }, QColor(Qt::white),
       kDarkWindow},
  };
}

}  // namespace themable_cases
