// The program speaks in one font family and opens its sheets at a size that shows what they hold:
// the tray icon's menu draws in the family of the windows (not the desktop's fallback family); the
// guide to writing modules and the add-module sheet open at least at the size their layout asks for,
// without a scroll bar where their content fits; a module description too long for its row ends in
// "…" and shows the whole text as its tooltip.
#include <QtGui/QFontDatabase>
#include <QtGui/QGuiApplication>
#include <QtGui/QImage>
#include <QtGui/QPainter>
#include <QtGui/QPixmap>
#include <QtGui/QScreen>
#include <QtGui/QWindow>
#include <QtWidgets/QLabel>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QTableView>
#include <QtWidgets/QTableWidget>
#include <QtWidgets/QTextBrowser>
#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "app/PMMainWindowController.h"
#include "app/tests/program/ProgramTest.h"
#include "engine/QVDashboardGroup.h"
#include "engine/QVDashboardModuleManager.h"
#include "engine/QVEngineEnvironment.h"
#include "platform/SettingsStore.h"
#include "uikit/ZKFontFamilies.h"
#include "windows/QVAddModuleWindowController.h"
#include "windows/QVEditorModuleViewController.h"
#include "windows/QVGroupDetailViewController.h"
#include "windows/QVHelpBrowser.h"
#include "windows/QVHelpWindowController.h"
#include "windows/QVUserModuleEditorViewController.h"

namespace fontsandsizes {
namespace {

namespace fs = std::filesystem;
using qvprogram::ProgramTest;

// ---- Telling a font family from the pixels of a line of text ----

// How much ink each pixel of a line of text carries (0 background, 1 full ink), cropped to the ink.
struct Ink {
  int width = 0;
  int height = 0;
  std::vector<float> coverage;
  float at(int x, int y) const {
    return x < 0 || y < 0 || x >= width || y >= height ? 0.f
                                                       : coverage[static_cast<std::size_t>(y * width + x)];
  }
};

// The ink of the rectangle of `image` drawn in `inkGray` on `backgroundGray`, cropped to where it
// lies (pixels under a tenth of full ink count as background).
Ink inkOf(const QImage& image, QRect area, int backgroundGray, int inkGray) {
  const float range = static_cast<float>(std::max(1, std::abs(inkGray - backgroundGray)));
  auto cover = [&](int x, int y) {
    return std::clamp(static_cast<float>(std::abs(qGray(image.pixel(x, y)) - backgroundGray)) / range, 0.f,
                      1.f);
  };
  QRect box;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x)
      if (cover(x, y) > 0.1f) box |= QRect(x, y, 1, 1);
  Ink ink;
  if (box.isEmpty()) return ink;
  ink.width = box.width();
  ink.height = box.height();
  for (int y = box.top(); y <= box.bottom(); ++y)
    for (int x = box.left(); x <= box.right(); ++x) ink.coverage.push_back(cover(x, y));
  return ink;
}

// The ink of `text` drawn here, black on white, in that family at that pixel size.
Ink renderedInk(const QString& text, const QString& family, int pixelSize) {
  QFont font(family);
  font.setPixelSize(pixelSize);
  QImage image(QFontMetrics(font).horizontalAdvance(text) + 20, pixelSize * 3, QImage::Format_RGB32);
  image.fill(Qt::white);
  {
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QPoint(10, pixelSize * 2), text);
  }
  return inkOf(image, image.rect(), 255, 0);
}

// How unlike two inks are: the mean difference of their coverage over the larger of the two, at the
// best of the small shifts against each other; infinite when their sizes differ by more than a
// pixel or two (another size or another text).
double difference(const Ink& shown, const Ink& drawn) {
  if (shown.width == 0 || drawn.width == 0 || std::abs(shown.width - drawn.width) > 2 ||
      std::abs(shown.height - drawn.height) > 1)
    return std::numeric_limits<double>::infinity();
  const int width = std::max(shown.width, drawn.width);
  const int height = std::max(shown.height, drawn.height);
  double best = std::numeric_limits<double>::infinity();
  for (int dy = -1; dy <= 1; ++dy)
    for (int dx = -1; dx <= 1; ++dx) {
      double sum = 0;
      for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) sum += std::abs(shown.at(x, y) - drawn.at(x + dx, y + dy));
      best = std::min(best, sum / (width * height));
    }
  return best;
}

// The text lines of a menu's image, top to bottom: bands of rows with ink, each cropped to its ink.
// Separators (thin lines across the menu) are no text.
std::vector<Ink> textLinesOf(const QImage& menu) {
  // Most of a menu is its background; its text is the gray farthest from it.
  std::vector<int> grays;
  for (int y = 0; y < menu.height(); ++y)
    for (int x = 0; x < menu.width(); ++x) grays.push_back(qGray(menu.pixel(x, y)));
  std::nth_element(grays.begin(), grays.begin() + static_cast<long>(grays.size() / 2), grays.end());
  const int background = grays[grays.size() / 2];
  int ink = background;
  for (int gray : grays)
    if (std::abs(gray - background) > std::abs(ink - background)) ink = gray;
  // The frame of the menu stays out.
  const QRect inside = menu.rect().adjusted(3, 3, -3, -3);
  auto rowHasInk = [&](int y) {
    for (int x = inside.left(); x <= inside.right(); ++x)
      if (std::abs(qGray(menu.pixel(x, y)) - background) > std::abs(ink - background) / 3) return true;
    return false;
  };
  std::vector<Ink> lines;
  for (int y = inside.top(); y <= inside.bottom();) {
    if (!rowHasInk(y)) {
      ++y;
      continue;
    }
    int end = y;
    while (end + 1 <= inside.bottom() && rowHasInk(end + 1)) ++end;
    Ink line = inkOf(menu, QRect(inside.left(), y, inside.width(), end - y + 1), background, ink);
    if (line.height > 3) lines.push_back(std::move(line));
    y = end + 1;
  }
  return lines;
}

struct FamilyMatch {
  QString family;
  double difference = std::numeric_limits<double>::infinity();
};

// The family (of `families`) whose rendering of `text`, at the pixel size that fits best, is most
// like one of the lines.
FamilyMatch familyOf(const std::vector<Ink>& lines, const QString& text, const QStringList& families) {
  FamilyMatch best;
  for (const QString& family : families)
    for (int size = 8; size <= 20; ++size) {
      const Ink drawn = renderedInk(text, family, size);
      for (const Ink& line : lines) {
        const double unlike = difference(line, drawn);
        if (unlike < best.difference) best = {family, unlike};
      }
    }
  return best;
}

// ---- The program's windows, laid out in this process ----

QPoint centreIn(QWidget* window, QWidget* child) {
  if (!child) {
    ADD_FAILURE() << "a control was not found in the laid-out window";
    return {};
  }
  return child->mapTo(window, child->rect().center());
}

// What the user reaches for and what the windows should be, measured on the same window classes laid
// out in this process with the built-in modules of a first start.
struct Layout {
  QSize moduleConfigWindow;
  QPoint addModuleButton;      // the group detail pane's "+"
  QPoint customModulesRow;     // the sidebar's "Custom Modules" row
  QPoint learnHowButton;       // the custom modules pane's "Learn How"
  QSize addSheet;              // the add-module sheet as its layout asks for it
  QSize helpWindow;            // the guide's window as its layout asks for it
  QString longestDescription;  // of the group's modules
  QString shownDescription;    // as the group detail pane shows it
  QString descriptionToolTip;  // and its tooltip
};

class FontsAndSizesXvfbTest : public ProgramTest {
 protected:
  // The size a window's layout asks for: its form's size, grown to what its content needs.
  static QSize laidOutSize(QWidget* window) { return window->size().expandedTo(window->sizeHint()); }

  void waitUntilShown(QWidget* window) {
    runUntil([&] { return window->windowHandle() && window->windowHandle()->isExposed(); }, 5);
    runFor(0.2);
  }

  // Lays out the windows in this process and measures them; nothing of the program's is touched.
  Layout measure() {
    Layout layout;
    useMeasuringFolders();
    manager_ = QVDashboardModuleManager::make();
    manager_->reloadBundledModules();
    auto group = QVDashboardGroup::groupWithName("System");
    for (const char* bundleID :
         {"com.quorvane.clock", "com.quorvane.systemload", "com.quorvane.memory", "com.quorvane.diskspace"})
      for (const auto& module : manager_->bundledModules())
        if (module->bundleID() == bundleID) group->addModule(module);
    manager_->addGroup(group);
    auto manager = manager_;
    PMMainWindowController::setPaneFactory(
        PMMainWindowController::ModuleConfigRow, [manager](QObject* parent) {
          return QVEditorModuleViewController::controllerWithManager(manager, nullptr, parent);
        });
    PMMainWindowController::setPaneFactory(PMMainWindowController::CustomModulesRow, [](QObject* parent) {
      return ZKViewController::controller<QVUserModuleEditorViewController>(parent);
    });

    auto* controller = ZKWindowController::controller<PMMainWindowController>();
    controller->selectModuleAtRow(PMMainWindowController::ModuleConfigRow);
    controller->actuallyShowWindow();
    QWidget* window = controller->window();
    waitUntilShown(window);
    layout.moduleConfigWindow = window->size();
    auto* editor = dynamic_cast<QVEditorModuleViewController*>(controller->currentModule());
    auto* detail = editor ? editor->currentViewController() : nullptr;
    if (detail) {
      layout.addModuleButton = centreIn(window, detail->addButton());
      // The longest description of the group, as its row shows it.
      for (int row = 0; row < detail->model()->rowCount(); ++row) {
        auto* cell = detail->tableView()->indexWidget(detail->model()->index(row, 0));
        auto* label = cell ? cell->findChild<QLabel*>(QStringLiteral("detailLabel")) : nullptr;
        const auto module = detail->modules()[static_cast<std::size_t>(row)];
        const QString description = QString::fromStdString(module->moduleDescription().value_or(""));
        if (label && description.size() > layout.longestDescription.size()) {
          layout.longestDescription = description;
          layout.shownDescription = label->text();
          layout.descriptionToolTip = label->toolTip();
        }
      }
    } else {
      ADD_FAILURE() << "the module configuration shows no group";
    }
    auto* sidebar = controller->tableView();
    layout.customModulesRow = sidebar->viewport()->mapTo(
        window, sidebar->visualItemRect(sidebar->item(PMMainWindowController::CustomModulesRow)).center());

    auto* add = QVAddModuleWindowController::controllerWithManager(manager_, controller);
    layout.addSheet = laidOutSize(add->window());
    delete add;
    auto* help = ZKWindowController::controller<QVHelpWindowController>(controller);
    layout.helpWindow = laidOutSize(help->window());
    delete help;

    controller->selectModuleAtRow(PMMainWindowController::CustomModulesRow);
    runFor(0.3);
    layout.learnHowButton = centreOf(window, "learnHowButton");

    // Hidden, not closed: a close asks first.
    window->hide();
    controller->deleteLater();
    runFor(0.2);
    PMMainWindowController::setPaneFactory(PMMainWindowController::ModuleConfigRow, {});
    PMMainWindowController::setPaneFactory(PMMainWindowController::CustomModulesRow, {});
    leaveMeasuringFolders();
    EXPECT_FALSE(fs::exists(supportFolder())) << "measuring touched the program's folder";
    return layout;
  }

  // The add-module sheet laid out here at `size`: whether its table shows a scroll bar, and the
  // position of its "Cancel" button (from the bottom right corner).
  struct SheetAtSize {
    bool scrollBar = true;
    int rows = 0;
    QPoint cancelButton;
  };
  SheetAtSize addSheetAt(QSize size) {
    SheetAtSize result;
    useMeasuringFolders();
    auto* add = QVAddModuleWindowController::controllerWithManager(manager_);
    QWidget* window = add->window();
    window->resize(size);
    window->show();
    waitUntilShown(window);
    auto* table = add->tableView();
    result.scrollBar = table->verticalScrollBar()->isVisible() || table->horizontalScrollBar()->isVisible();
    result.rows = table->rowCount();
    // Measured from the bottom right corner, where the button is anchored: the place holds whatever
    // size this window ended up with.
    result.cancelButton = QPoint(window->width(), window->height()) - centreIn(window, add->cancelButton());
    window->hide();
    delete add;
    leaveMeasuringFolders();
    return result;
  }

  // Whether the guide, laid out here in a window of `size`, needs a horizontal scroll bar.
  bool helpScrollsSideways(QSize size) {
    useMeasuringFolders();
    std::unique_ptr<QVHelpWindowController> help(ZKWindowController::controller<QVHelpWindowController>());
    QWidget* window = help->window();
    window->resize(size);
    window->show();
    waitUntilShown(window);
    const bool sideways = help->webView()->horizontalScrollBar()->isVisible();
    window->hide();
    leaveMeasuringFolders();
    return sideways;
  }

  QPoint on(const QString& window, QPoint offset) const { return windowGeometry(window).topLeft() + offset; }

  // Opens "Manage Modules…", the third entry of the tray icon's menu; the window or an empty string.
  QString openModuleConfig() {
    clickTrayIcon(3);
    runFor(0.6);
    for (int i = 0; i < 3; ++i) key(QStringLiteral("Down"));
    key(QStringLiteral("Return"));
    const QString window = waitForWindow(QStringLiteral("Module Config"));
    runFor(0.5);
    return window;
  }

  std::shared_ptr<QVDashboardModuleManager> manager_;
};

TEST_F(FontsAndSizesXvfbTest, TheTrayMenuDrawsInTheFamilyOfTheWindows) {
  const QString windowsFamily = zk_installedFontFamily(QStringLiteral("SFProText"));
  const QString fallback = QStringLiteral("DejaVu Sans");
  ASSERT_FALSE(windowsFamily.isEmpty()) << "no family stands in for the windows' text family";
  ASSERT_NE(windowsFamily, fallback) << "the windows' family is the fallback itself: nothing to tell apart";
  ASSERT_TRUE(QFontDatabase::families().contains(fallback)) << fallback.toStdString() << " is not installed";

  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  const QStringList before = windows();
  clickTrayIcon(3);
  QString menu;
  ASSERT_TRUE(runUntil(
      [&] {
        for (const auto& id : windows())
          if (!before.contains(id) && windowGeometry(id).height() > 100) menu = id;
        return !menu.isEmpty();
      },
      5))
      << "the tray icon's menu did not open";
  runFor(0.4);
  screenshot("tray-menu");
  const QRect frame = windowGeometry(menu);
  const QImage image = QGuiApplication::primaryScreen()
                           ->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height())
                           .toImage();
  const std::vector<Ink> lines = textLinesOf(image);
  ASSERT_GE(lines.size(), 4u) << "the menu shows no entries";

  // "Manage Modules…" as the menu draws it, against the same text drawn here in either family.
  const FamilyMatch match = familyOf(lines, QStringLiteral("Manage Modules…"), {windowsFamily, fallback});
  EXPECT_EQ(match.family.toStdString(), windowsFamily.toStdString())
      << "the menu's text is drawn in " << match.family.toStdString() << " (difference " << match.difference
      << "), the windows' in " << windowsFamily.toStdString();
  EXPECT_LT(match.difference, 0.08) << "the menu's entry looks like neither family";
  key(QStringLiteral("Escape"));
}

TEST_F(FontsAndSizesXvfbTest, TheGuideAndTheAddModuleSheetOpenAtTheSizeOfTheirContent) {
  const Layout layout = measure();
  ASSERT_FALSE(HasFailure()) << "the windows could not be measured";

  // A description too long for the group detail pane's row ends in "…", the whole of it in its tooltip.
  ASSERT_FALSE(layout.longestDescription.isEmpty());
  EXPECT_TRUE(layout.shownDescription.endsWith(QStringLiteral("…")))
      << "shown: \"" << layout.shownDescription.toStdString() << "\"";
  EXPECT_TRUE(layout.longestDescription.startsWith(layout.shownDescription.chopped(1)));
  EXPECT_EQ(layout.descriptionToolTip.toStdString(), layout.longestDescription.toStdString());

  ASSERT_NO_FATAL_FAILURE(launchAndWaitForDashboard());
  const QString preferences = openModuleConfig();
  ASSERT_FALSE(preferences.isEmpty()) << "the module configuration did not open";
  EXPECT_EQ(windowGeometry(preferences).size(), layout.moduleConfigWindow);
  screenshot("1-module-config");

  // The add-module sheet: every built-in module in view, no scroll bar.
  clickAt(on(preferences, layout.addModuleButton));
  const QString addSheet = waitForWindow(QStringLiteral("Add Modules"));
  ASSERT_FALSE(addSheet.isEmpty()) << "the add-module sheet did not open";
  runFor(0.4);
  screenshot("2-add-module-sheet");
  const QSize addSize = windowGeometry(addSheet).size();
  EXPECT_GE(addSize.width(), layout.addSheet.width())
      << "the sheet is " << addSize.width() << "×" << addSize.height();
  EXPECT_GE(addSize.height(), layout.addSheet.height())
      << "the sheet is " << addSize.width() << "×" << addSize.height();
  const SheetAtSize sheet = addSheetAt(addSize);
  EXPECT_FALSE(sheet.scrollBar) << "a sheet of " << addSize.width() << "×" << addSize.height()
                                << " scrolls its " << sheet.rows << " rows";
  {
    const QRect frame = windowGeometry(addSheet);
    clickAt(frame.topLeft() + QPoint(frame.width(), frame.height()) - sheet.cancelButton);
  }
  ASSERT_TRUE(runUntil([&] { return windowNamed(QStringLiteral("Add Modules")).isEmpty(); }, 5))
      << "the add-module sheet stayed";

  // The guide to writing modules, from the custom modules pane: no sideways scrolling.
  clickAt(on(preferences, layout.customModulesRow));
  ASSERT_FALSE(waitForWindow(QStringLiteral("Custom Modules")).isEmpty())
      << "the custom modules pane did not open";
  runFor(0.5);
  clickAt(on(preferences, layout.learnHowButton));
  const QString guide = waitForWindow(QStringLiteral("Writing Modules"));
  ASSERT_FALSE(guide.isEmpty()) << "the guide did not open";
  runFor(0.5);
  screenshot("3-writing-modules");
  const QSize guideSize = windowGeometry(guide).size();
  EXPECT_GE(guideSize.width(), layout.helpWindow.width())
      << "the guide is " << guideSize.width() << "×" << guideSize.height();
  EXPECT_GE(guideSize.height(), layout.helpWindow.height())
      << "the guide is " << guideSize.width() << "×" << guideSize.height();
  EXPECT_FALSE(helpScrollsSideways(guideSize))
      << "the guide scrolls sideways at " << guideSize.width() << "×" << guideSize.height();
}

}  // namespace
}  // namespace fontsandsizes
