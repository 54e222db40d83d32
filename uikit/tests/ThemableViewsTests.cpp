// Themable views: each class follows the theme from its keys and re-applies on every change; the
// setters' re-apply rules; the table text field's row and editing colours; grabs in both themes.
#include <gtest/gtest.h>

#include <QtGui/QStandardItemModel>
#include <QtWidgets/QApplication>
#include <QtWidgets/QVBoxLayout>
#include <functional>
#include <memory>

#include "ThemableViewCases.h"
#include "platform/desktop/testing/GuiTest.h"
#include "uikit/BHThemableWindow.h"
#include "uikit/ZKFontFamilies.h"
#include "uikit/ZKThemableScrollView.h"
#include "uikit/ZKThemableTableTextField.h"
#include "uikit/ZKThemableTableView.h"
#include "uikit/ZKThemableTextField.h"
#include "uikit/ZKThemableView.h"
#include "uikit/ZKThemeManager.h"

namespace {

using namespace themable_cases;

class ThemableViewsTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    manager().changeTheme(QStringLiteral("DDLightTheme"));
  }
  void TearDown() override {
    manager().changeTheme(QStringLiteral("DDLightTheme"));
    GuiTest::TearDown();
  }
  static ZKThemeManager& manager() { return ZKThemeManager::sharedManager(); }
};

TEST_F(ThemableViewsTest, EveryClassFollowsTheThemeWithoutBeingTouched) {
  for (const ViewCase& c : viewCases()) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<QWidget> view(c.make());
    auto* themable = dynamic_cast<ZKThemable*>(view.get());
    ASSERT_NE(themable, nullptr);
    EXPECT_TRUE(themable->isConfigured());
    EXPECT_TRUE(near(c.shown(view.get()), c.light))
        << c.shown(view.get()).name(QColor::HexArgb).toStdString();
    manager().changeTheme(QStringLiteral("DDDarkTheme"));
    EXPECT_TRUE(near(c.shown(view.get()), c.dark)) << c.shown(view.get()).name(QColor::HexArgb).toStdString();
    manager().changeTheme(QStringLiteral("DDLightTheme"));
    EXPECT_TRUE(near(c.shown(view.get()), c.light));
  }
}

TEST_F(ThemableViewsTest, TextFieldShowsTheThemeFont) {
  ZKThemableTextField field;
  field.setFontKey(QStringLiteral("textFont"));
  EXPECT_EQ(field.font().family(), zk_installedFontFamily(QStringLiteral("SFProText")));
  EXPECT_EQ(field.font().pixelSize(), 13);
  EXPECT_EQ(field.font().weight(), QFont::Normal);
  field.setFontKey(QStringLiteral("tableGroupFont"));
  EXPECT_EQ(field.font().pixelSize(), 14);
  EXPECT_EQ(field.font().weight(), QFont::Bold);
}

TEST_F(ThemableViewsTest, SettersReapplyOnAnotherKeyObjectOnly) {
  ZKThemableView view;
  QString key = QStringLiteral("windowColor");
  view.setBackgroundColorKey(key);
  EXPECT_EQ(view.backgroundColor(), QColor(Qt::white));
  view.setBackgroundColor(Qt::red);
  view.setBackgroundColorKey(view.backgroundColorKey());  // the same object: nothing
  EXPECT_EQ(view.backgroundColor(), QColor(Qt::red));
  view.setBackgroundColorKey(QString::fromUtf8("windowColor"));  // equal, made apart: re-applies
  EXPECT_EQ(view.backgroundColor(), QColor(Qt::white));
  // A key of no value in the current theme gives no fill.
  view.setBackgroundColorKey(QStringLiteral("popoverBackgroundColor"));
  EXPECT_FALSE(view.backgroundColor().isValid());
  manager().changeTheme(QStringLiteral("DDDarkTheme"));
  EXPECT_TRUE(near(view.backgroundColor(), kDarkWindow));
}

TEST_F(ThemableViewsTest, TableViewKeysSetLaterWaitForTheNextChange) {
  ZKThemableTableView table;
  const QColor before = table.backgroundColor();
  table.setBackgroundColorKey(QStringLiteral("windowColor"));
  EXPECT_EQ(table.backgroundColor(), before);
  manager().changeTheme(QStringLiteral("DDDarkTheme"));
  EXPECT_TRUE(near(table.backgroundColor(), kDarkWindow));
}

TEST_F(ThemableViewsTest, TableTextFieldKeepsWhiteWhileItsRowIsSelected) {
  ZKThemableTableTextField field;
  field.setTextColorKey(QStringLiteral("textColor"));
  field.setBackgroundStyle(ZKTableTextField::BackgroundStyleEmphasized);
  EXPECT_EQ(field.textColor(), QColor(Qt::white));
  manager().changeTheme(QStringLiteral("DDDarkTheme"));
  EXPECT_EQ(field.textColor(), QColor(Qt::white));
  EXPECT_TRUE(near(field.originalColor(), kDarkText));
  field.setBackgroundStyle(0);
  EXPECT_TRUE(near(field.textColor(), kDarkText));
  // A colour set by code becomes the original colour.
  field.setTextColor(Qt::blue);
  field.setBackgroundStyle(ZKTableTextField::BackgroundStyleEmphasized);
  field.setBackgroundStyle(0);
  EXPECT_EQ(field.textColor(), QColor(Qt::blue));
}

// Relative luminance contrast (1 to 21) of text over a background.
double contrast(const QColor& text, const QColor& background) {
  auto channel = [](double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); };
  auto luminance = [&](const QColor& c) {
    return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
  };
  // The text colour is laid over the background with its own alpha.
  const double a = text.alphaF();
  const QColor shown = QColor::fromRgbF(float(text.redF() * a + background.redF() * (1 - a)),
                                        float(text.greenF() * a + background.greenF() * (1 - a)),
                                        float(text.blueF() * a + background.blueF() * (1 - a)));
  const double l1 = luminance(shown), l2 = luminance(background);
  return (std::max(l1, l2) + 0.05) / (std::min(l1, l2) + 0.05);
}

TEST_F(ThemableViewsTest, TextBeingEditedStaysReadableInBothThemes) {
  for (const char* theme : {"DDLightTheme", "DDDarkTheme"}) {
    SCOPED_TRACE(theme);
    manager().changeTheme(QString::fromUtf8(theme));
    ZKThemableView window;
    window.setBackgroundColorKey(QStringLiteral("windowColor"));
    window.resize(260, 60);
    auto* field = new ZKThemableTableTextField(&window);
    field->setTextColorKey(QStringLiteral("table-value-color"));
    field->setFontKey(QStringLiteral("textFont"));
    field->setText(QStringLiteral("Edited module name"));
    field->setGeometry(10, 18, 240, 24);
    window.show();
    field->setFocus(Qt::OtherFocusReason);
    window.activateWindow();
    ASSERT_TRUE(runUntil([&] { return field->hasFocus(); }));
    EXPECT_GE(contrast(field->textColor(), window.backgroundColor()), 4.5)
        << field->textColor().name(QColor::HexArgb).toStdString();
    // A theme change while editing keeps the text readable.
    manager().changeTheme(
        QString::fromUtf8(std::string(theme) == "DDLightTheme" ? "DDDarkTheme" : "DDLightTheme"));
    EXPECT_GE(contrast(field->textColor(), window.backgroundColor()), 4.5);
    manager().changeTheme(QString::fromUtf8(theme));
    qvtesting::saveGrab(&window, "uikit-themes",
                        std::string("editing-") + (theme[2] == 'L' ? "light" : "dark"));
    // Ending the edit shows the row's colour again.
    field->clearFocus();
    ASSERT_TRUE(runUntil([&] { return !field->hasFocus(); }));
    EXPECT_EQ(field->textColor(), field->originalColor());
  }
}

TEST_F(ThemableViewsTest, DestroyedViewsStopObserving) {
  const auto before = platform::NotificationCenter::defaultCenter().observerCount();
  {
    ZKThemableView a;
    ZKThemableTextField b;
    EXPECT_EQ(platform::NotificationCenter::defaultCenter().observerCount(), before + 2);
  }
  EXPECT_EQ(platform::NotificationCenter::defaultCenter().observerCount(), before);
  manager().changeTheme(QStringLiteral("DDDarkTheme"));
  // A view deleted by another's re-apply (observed before it) is not called afterwards.
  struct Killer : ZKThemableView {
    QWidget* victim = nullptr;
    void applyTheme() override {
      ZKThemableView::applyTheme();
      delete victim;
      victim = nullptr;
    }
  } killer;
  killer.victim = new ZKThemableView;
  manager().changeTheme(QStringLiteral("DDLightTheme"));
  EXPECT_EQ(killer.victim, nullptr);
}

// A window of themable views as a dashboard pane would lay them out.
std::unique_ptr<BHThemableWindow> samplePane() {
  auto window = std::make_unique<BHThemableWindow>();
  window->setBackgroundColorKey(QStringLiteral("windowColor"));
  window->resize(340, 300);
  auto* layout = new QVBoxLayout(window.get());
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* header = new ZKThemableView;
  header->setBackgroundColorKey(QStringLiteral("windowHeaderColor"));
  header->setBorderColorKey(QStringLiteral("windowHeaderSeparatorColor"));
  header->setBorderWidth(1);
  header->setMinimumHeight(44);
  auto* headerLayout = new QVBoxLayout(header);
  auto* title = new ZKThemableTextField;
  title->setText(QStringLiteral("Dashboard"));
  title->setFontKey(QStringLiteral("deviceHeaderFont"));
  title->setTextColorKey(QStringLiteral("deviceHeaderColor"));
  headerLayout->addWidget(title);
  layout->addWidget(header);

  auto* scroll = new ZKThemableScrollView;
  scroll->setBackgroundColorKey(QStringLiteral("sidebarColor"));
  scroll->setFrameShape(QFrame::NoFrame);
  scroll->setWidgetResizable(true);
  auto* content = new QWidget;
  auto* contentLayout = new QVBoxLayout(content);
  auto* group = new ZKThemableTextField;
  group->setText(QStringLiteral("Group — Network"));
  group->setFontKey(QStringLiteral("tableGroupFont"));
  group->setTextColorKey(QStringLiteral("tableGroupColor"));
  contentLayout->addWidget(group);
  for (const char* text : {"Ping 12 ms", "Download 94.2 MB/s"}) {
    auto* value = new ZKThemableTableTextField;
    value->setText(QString::fromUtf8(text));
    value->setReadOnly(true);
    value->setFontKey(QStringLiteral("tableValueFont"));
    value->setTextColorKey(QStringLiteral("table-value-color"));
    contentLayout->addWidget(value);
  }
  auto* selected = new ZKThemableView;
  selected->setBackgroundColorKey(QStringLiteral("sidebarTableSelectedBackgroundColor"));
  selected->setCornerRadius(3);
  selected->setRoundedCorners(ZKView::AllCorners);
  auto* selectedLayout = new QVBoxLayout(selected);
  selectedLayout->setContentsMargins(6, 2, 6, 2);
  auto* selectedText = new ZKThemableTableTextField;
  selectedText->setText(QStringLiteral("Selected row"));
  selectedText->setReadOnly(true);
  selectedText->setTextColorKey(QStringLiteral("sidebarTableTitleColor"));
  selectedText->setBackgroundStyle(ZKTableTextField::BackgroundStyleEmphasized);
  selectedLayout->addWidget(selectedText);
  contentLayout->addWidget(selected);

  auto* table = new ZKThemableTableView;
  table->setBackgroundColorKey(QStringLiteral("windowColor"));
  table->setGridColorKey(QStringLiteral("detailsTableSeparatorColor"));
  auto* model = new QStandardItemModel(3, 2, table);
  for (int r = 0; r < 3; ++r)
    for (int c = 0; c < 2; ++c) {
      auto* item = new QStandardItem(QStringLiteral("cell %1.%2").arg(r).arg(c));
      model->setItem(r, c, item);
    }
  table->setModel(model);
  table->setMinimumHeight(100);
  contentLayout->addWidget(table);

  auto* error = new ZKThemableTextField;
  error->setText(QStringLiteral("Module failed: timeout"));
  error->setFontKey(QStringLiteral("errorViewLabelFont"));
  error->setTextColorKey(QStringLiteral("errorColor"));
  contentLayout->addWidget(error);
  contentLayout->addStretch();
  scroll->setWidget(content);
  layout->addWidget(scroll);
  return window;
}

TEST_F(ThemableViewsTest, PaneGrabsInBothThemes) {
  auto pane = samplePane();
  pane->show();
  ASSERT_TRUE(runUntil([&] { return pane->isVisible(); }));
  // The table's keys were set after it was configured: the first change brings them.
  manager().changeTheme(QStringLiteral("DDDarkTheme"));
  manager().changeTheme(QStringLiteral("DDLightTheme"));
  runFor(0.05);
  const QImage light = pane->grab().toImage();
  qvtesting::saveGrab(pane.get(), "uikit-themes", "pane-light");
  manager().changeTheme(QStringLiteral("DDDarkTheme"));
  runFor(0.05);
  const QImage dark = pane->grab().toImage();
  qvtesting::saveGrab(pane.get(), "uikit-themes", "pane-dark");
  // The header and the window follow: the light header is near white, the dark one near black.
  const double dpr = light.devicePixelRatio();
  const QPoint headerPixel(int(320 * dpr), int(20 * dpr));
  EXPECT_GT(QColor(light.pixel(headerPixel)).lightnessF(), 0.9);
  EXPECT_LT(QColor(dark.pixel(headerPixel)).lightnessF(), 0.25);
}

}  // namespace
