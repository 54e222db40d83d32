#include <gtest/gtest.h>

#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QTextEdit>
#include <QtWidgets/QVBoxLayout>
#include <functional>

#include "platform/ViewAppearanceHook.h"
#include "platform/desktop/testing/GuiTest.h"
#include "ui_TestPaneController.h"
#include "ui_TestSheetWindowController.h"
#include "uikit/ZKEnabledTextField.h"
#include "uikit/ZKModuleViewController.h"
#include "uikit/ZKNavigationController.h"
#include "uikit/ZKSwipeTracker.h"
#include "uikit/ZKView.h"
#include "uikit/ZKViewController.h"
#include "uikit/ZKWindowController.h"
#include "uikit/ZKYosemiteWindow.h"

ZK_INTERFACE_FORM(TestPaneController, QWidget);
ZK_INTERFACE_FORM(TestSheetWindowController, ZKYosemiteWindow);

// A pane with its own form, recording its hooks.
class TestPaneController : public ZKModuleViewController {
  Q_OBJECT

 public:
  using ZKModuleViewController::ZKModuleViewController;
  std::vector<std::string> hooks;
  int loads = 0;
  QSizeF minimumSize{0, 0};

  QSizeF viewMinSize() const override { return minimumSize; }
  void zk_viewDidLoad() override {
    ++loads;
    if (auto* form = ui<Ui::TestPaneController>()) form->titleLabel->setText(QStringLiteral("Loaded"));
  }
  void zk_viewWillAppear() override { hooks.push_back("willAppear"); }
  void zk_viewDidAppear() override { hooks.push_back("didAppear"); }
  void zk_viewWillDisappear() override { hooks.push_back("willDisappear"); }
  void zk_viewDidDisappear() override { hooks.push_back("didDisappear"); }
};

// No form of its own: it takes its base class's.
class TestDerivedPaneController : public TestPaneController {
  Q_OBJECT

 public:
  using TestPaneController::TestPaneController;
};

// No form anywhere up its chain.
class TestFormlessController : public ZKViewController {
  Q_OBJECT

 public:
  using ZKViewController::ZKViewController;
  int loads = 0;
  void zk_viewDidLoad() override { ++loads; }
};

class TestSheetWindowController : public ZKWindowController {
  Q_OBJECT

 public:
  using ZKWindowController::ZKWindowController;
  std::vector<std::string> hooks;
  bool swipes = false;
  int back = 0, forward = 0;

  bool wantsSwipeEvents() const override { return swipes; }
  void zk_viewDidLoad() override { hooks.push_back("didLoad"); }
  void zk_sheetWillAppear() override { hooks.push_back("willAppear"); }
  void zk_sheetDidAppear() override { hooks.push_back("didAppear"); }
  void zk_sheetWillDisappear() override { hooks.push_back("willDisappear"); }
  void zk_sheetDidDisappear() override { hooks.push_back("didDisappear"); }
  void didSwipeBack() override { ++back; }
  void didSwipeForward() override { ++forward; }
};

namespace {

class ControllersTest : public qvtesting::GuiTest {};

TEST_F(ControllersTest, ViewControllersLoadTheirFormAlongTheirClassChain) {
  std::unique_ptr<TestPaneController> pane(ZKViewController::controller<TestPaneController>());
  ASSERT_TRUE(pane->isViewLoaded());
  auto* form = pane->ui<Ui::TestPaneController>();
  ASSERT_TRUE(form);
  EXPECT_EQ(form->titleLabel->text(), QStringLiteral("Loaded"));  // set up after loading, once
  EXPECT_EQ(pane->loads, 1);
  EXPECT_TRUE(pane->zk_viewHasLoaded());
  pane->awakeFromNib();
  EXPECT_EQ(pane->loads, 1);
  // The form's drawn view woke: all corners rounded, its Designer properties set.
  auto* card = pane->view()->findChild<ZKView*>(QStringLiteral("card"));
  ASSERT_TRUE(card);
  EXPECT_EQ(card->roundedCorners(), ZKView::AllCorners);
  EXPECT_EQ(card->backgroundColor(), QColor(74, 144, 226));
  EXPECT_EQ(card->cornerRadius(), 8);
  EXPECT_DOUBLE_EQ(pane->view()->findChild<ZKEnabledTextField*>()->originalAlphaValue(), 1.0);

  EXPECT_FALSE(ZKViewController::nibNameIsCached(QStringLiteral("TestDerivedPaneController")));
  std::unique_ptr<TestDerivedPaneController> derived(
      ZKViewController::controller<TestDerivedPaneController>());
  EXPECT_TRUE(derived->ui<Ui::TestPaneController>());
  EXPECT_EQ(derived->loads, 1);
  EXPECT_TRUE(ZKViewController::nibNameIsCached(QStringLiteral("TestDerivedPaneController")));
  EXPECT_EQ(ZKViewController::cachedNibName(&TestDerivedPaneController::staticMetaObject),
            QStringLiteral("TestPaneController"));

  std::unique_ptr<TestFormlessController> formless(ZKViewController::controller<TestFormlessController>());
  EXPECT_FALSE(formless->isViewLoaded());
  EXPECT_EQ(formless->loads, 0);
  EXPECT_TRUE(formless->view());  // an empty view on first use
  EXPECT_FALSE(ZKViewController::nibNameIsCached(QStringLiteral("TestFormlessController")));
  EXPECT_TRUE(ZKViewController::nibName(&ZKViewController::staticMetaObject).isEmpty());
  EXPECT_TRUE(ZKViewController::nibName(&QObject::staticMetaObject).isEmpty());
  qvtesting::saveGrab(pane->view(), "uikit", "pane-from-form");
}

TEST_F(ControllersTest, ShownViewsAreReportedToTheAppearanceHook) {
  std::vector<std::string> appeared;
  platform::ViewAppearanceHook::install([&](const std::string& className) { appeared.push_back(className); });
  std::unique_ptr<TestPaneController> pane(ZKViewController::controller<TestPaneController>());
  std::unique_ptr<TestFormlessController> formless(ZKViewController::controller<TestFormlessController>());
  pane->view()->show();
  formless->view()->show();
  pane->view()->hide();
  pane->view()->show();
  platform::ViewAppearanceHook::install(nullptr);
  formless->view()->hide();
  formless->view()->show();
  EXPECT_EQ(appeared,
            (std::vector<std::string>{"TestPaneController", "TestFormlessController", "TestPaneController"}));
}

TEST_F(ControllersTest, ParentWindowFallsBackToTheViewsWindow) {
  std::unique_ptr<TestPaneController> pane(ZKViewController::controller<TestPaneController>());
  QWidget window;
  pane->view()->setParent(&window);
  EXPECT_EQ(pane->parentWindow(), &window);
  QWidget other;
  pane->setParentWindow(&other);
  EXPECT_EQ(pane->parentWindow(), &other);
  pane->view()->setParent(nullptr);
}

// A controller made by a window controller, or by another view controller, belongs to its maker's
// window before its own view is placed anywhere (whichever window is active meanwhile).
TEST_F(ControllersTest, ParentWindowFollowsTheControllerThatOwnsIt) {
  std::unique_ptr<TestSheetWindowController> owner(
      ZKWindowController::controller<TestSheetWindowController>());
  ASSERT_TRUE(owner->window());
  auto* pane = ZKViewController::controller<TestPaneController>(owner.get());
  auto* child = ZKViewController::controller<TestFormlessController>(pane);
  EXPECT_EQ(pane->parentWindow(), owner->window());
  EXPECT_EQ(child->parentWindow(), owner->window());
  QWidget other;
  pane->setParentWindow(&other);
  EXPECT_EQ(child->parentWindow(), &other);
  // Without an owner with a window: the active window, as before.
  std::unique_ptr<TestFormlessController> loose(ZKViewController::controller<TestFormlessController>());
  EXPECT_EQ(loose->parentWindow(), QApplication::activeWindow());
}

TEST_F(ControllersTest, WindowControllersShowTheirWindowAsASheet) {
  QWidget host;
  host.setGeometry(200, 150, 600, 400);
  host.show();
  std::unique_ptr<TestSheetWindowController> sheet(
      ZKWindowController::controller<TestSheetWindowController>());
  ASSERT_TRUE(sheet->window());
  auto* window = qobject_cast<ZKYosemiteWindow*>(sheet->window());
  ASSERT_TRUE(window);
  ASSERT_TRUE(window->actualTitleLabel());
  EXPECT_EQ(window->actualTitleLabel()->text(), QStringLiteral("Edit Module"));
  EXPECT_EQ(window->contentView()->objectName(), QStringLiteral("actualContentView"));
  EXPECT_TRUE(sheet->ui<Ui::TestSheetWindowController>()->nameField);
  EXPECT_EQ(sheet->hooks, std::vector<std::string>{"didLoad"});

  sheet->beginSheetInWindow(&host);
  EXPECT_EQ(sheet->hooks.back(), "willAppear");
  EXPECT_FALSE(window->isVisible());  // on the next turn
  ASSERT_TRUE(runUntil([&] { return sheet->hooks.back() == "didAppear"; }));
  EXPECT_TRUE(sheet->isSheetVisible());
  EXPECT_EQ(window->parentWidget(), &host);
  EXPECT_EQ(window->windowModality(), Qt::WindowModal);
  EXPECT_NEAR(window->geometry().center().x(), host.geometry().center().x(), 2);
  EXPECT_EQ(window->frameGeometry().top(), host.geometry().top());
  qvtesting::saveGrab(window, "uikit", "sheet-window");
  sheet->closeSheet();
  EXPECT_FALSE(window->isVisible());
  EXPECT_EQ(sheet->hooks, (std::vector<std::string>{"didLoad", "willAppear", "didAppear", "willDisappear",
                                                    "didDisappear"}));
}

// A sheet whose window is made in code: a window of `formSize` holding `content` in a layout.
struct SheetSizeCase {
  const char* name;
  QSize formSize;
  std::function<QWidget*()> content;
  // What the window should at least be, and exactly be when `exact`.
  QSize expected;
  bool exact;
};

TEST_F(ControllersTest, SheetsOpenAtTheirFormsSizeGrownWhereTheirLayoutNeedsMore) {
  const QString longLine(120, QLatin1Char('W'));
  const SheetSizeCase cases[] = {
      // A text view asks for a token size far below the form's: the form's size stays.
      {"text view in a large form", QSize(640, 520), [] { return new QTextEdit; }, QSize(640, 520), true},
      // A line that cannot wrap is wider than the form: the window grows to it.
      {"wide label in a small form", QSize(200, 120), [&] { return new QLabel(longLine); }, QSize(0, 120),
       false},
  };
  QWidget host;
  host.setGeometry(100, 100, 900, 600);
  host.show();
  for (const SheetSizeCase& c : cases) {
    SCOPED_TRACE(c.name);
    ZKWindowController sheet;
    auto* window = new QWidget;
    auto* layout = new QVBoxLayout(window);
    QWidget* content = c.content();
    layout->addWidget(content);
    window->resize(c.formSize);
    sheet.setWindow(window);
    const QSize needed = window->sizeHint();
    sheet.beginSheetInWindow(&host);
    ASSERT_TRUE(runUntil([&] { return window->isVisible(); }));
    runFor(0.1);
    if (c.exact) {
      EXPECT_EQ(window->size(), c.expected);
    } else {
      EXPECT_GE(window->width(), needed.width());
      EXPECT_GE(window->width(), content->sizeHint().width());
      EXPECT_GE(window->height(), c.expected.height());
    }
    sheet.closeSheet();
  }
}

struct SwipeCase {
  const char* name;
  std::vector<ZKSwipeTracker::Touch> begin, end;
  ZKSwipeTracker::Swipe expected;
};

TEST(ZKSwipeTracker, TwoFingersMovingTogetherMakeASwipe) {
  using S = ZKSwipeTracker::Swipe;
  const SwipeCase cases[] = {
      {"one finger", {{1, 0.1}}, {{1, 0.9}}, S::None},
      {"two fingers summing 0.29", {{1, 0.1}, {2, 0.2}}, {{1, 0.245}, {2, 0.345}}, S::None},
      {"two fingers summing 0.3", {{1, 0.1}, {2, 0.2}}, {{1, 0.25}, {2, 0.35}}, S::Forward},
      {"two fingers summing -0.3", {{1, 0.5}, {2, 0.6}}, {{1, 0.35}, {2, 0.45}}, S::Back},
      {"three fingers right", {{1, 0.1}, {2, 0.2}, {3, 0.3}}, {{1, 0.3}, {2, 0.4}, {3, 0.5}}, S::Forward},
      {"opposite movements cancel", {{1, 0.1}, {2, 0.9}}, {{1, 0.5}, {2, 0.5}}, S::None},
      {"unknown fingers at the end", {{1, 0.1}, {2, 0.2}}, {{3, 0.9}, {4, 0.9}}, S::None},
      {"no begin", {}, {{1, 0.9}, {2, 0.9}}, S::None},
  };
  for (const auto& c : cases) {
    ZKSwipeTracker tracker;
    if (!c.begin.empty()) tracker.begin(c.begin);
    EXPECT_EQ(tracker.end(c.end), c.expected) << c.name;
    EXPECT_FALSE(tracker.isTracking());
  }
}

TEST_F(ControllersTest, SwipesReachTheWindowControllerOnlyWhenWanted) {
  std::unique_ptr<TestSheetWindowController> sheet(
      ZKWindowController::controller<TestSheetWindowController>());
  sheet->beginGestureWithTouches({{1, 0.1}, {2, 0.2}});
  sheet->endGestureWithTouches({{1, 0.5}, {2, 0.6}});
  EXPECT_EQ(sheet->forward, 0);
  sheet->swipes = true;
  sheet->awakeFromNib();
  EXPECT_TRUE(sheet->window()->testAttribute(Qt::WA_AcceptTouchEvents));
  sheet->beginGestureWithTouches({{1, 0.1}, {2, 0.2}});
  EXPECT_TRUE(sheet->isTrackingGesture());
  sheet->endGestureWithTouches({{1, 0.5}, {2, 0.6}});
  sheet->beginGestureWithTouches({{1, 0.5}, {2, 0.6}});
  sheet->endGestureWithTouches({{1, 0.1}, {2, 0.2}});
  EXPECT_EQ(sheet->forward, 1);
  EXPECT_EQ(sheet->back, 1);
  EXPECT_EQ(sheet->hooks.front(), "didLoad");
  EXPECT_EQ(std::count(sheet->hooks.begin(), sheet->hooks.end(), "didLoad"), 1);
}

// A window holding a navigation controller's container below a 40-point bar.
class NavigationTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    window = std::make_unique<QWidget>();
    window->setGeometry(100, 100, 400, 340);
    container = new QWidget(window.get());
    container->setGeometry(0, 40, 400, 300);
    navigation = new ZKNavigationController(window.get());
    navigation->setWindow(window.get());
    navigation->setView(container);
    window->show();
  }
  TestPaneController* pane(const char* title) {
    auto* controller = ZKViewController::controller<TestPaneController>();
    controller->ui<Ui::TestPaneController>()->titleLabel->setText(QString::fromLatin1(title));
    return controller;
  }
  bool settled() { return !navigation->isTransitioning(); }

  std::unique_ptr<QWidget> window;
  QWidget* container = nullptr;
  ZKNavigationController* navigation = nullptr;
};

TEST_F(NavigationTest, TheFirstControllerAppearsAtOnceAndPushesSlideInFromTheRight) {
  auto* root = pane("Root");
  root->minimumSize = QSizeF(800, 600);  // never used for the first one: no resize
  navigation->setViewControllers({root});
  EXPECT_EQ(navigation->currentViewController(), root);
  EXPECT_FALSE(navigation->isTransitioning());
  EXPECT_EQ(root->hooks, (std::vector<std::string>{"willAppear", "didAppear"}));
  EXPECT_EQ(root->view()->parentWidget(), container);
  EXPECT_EQ(root->view()->geometry(), container->rect());
  EXPECT_EQ(window->size(), QSize(400, 340));
  EXPECT_EQ(root->navigationController(), navigation);
  EXPECT_EQ(root->parentWindow(), window.get());

  auto* second = pane("Second");
  navigation->pushViewController(second, true);
  EXPECT_EQ(navigation->currentViewController(), root);  // on the next turn
  ASSERT_TRUE(runUntil([&] { return navigation->isTransitioning() && second->view()->x() < 300; }));
  EXPECT_GT(second->view()->x(), 0);  // coming from the right
  EXPECT_LT(root->view()->x(), 0);
  qvtesting::saveGrab(window.get(), "uikit", "navigation-mid-push");
  ASSERT_TRUE(runUntil([&] { return settled(); }, 2));
  EXPECT_EQ(second->view()->geometry(), container->rect());
  EXPECT_FALSE(root->view()->isVisible());
  EXPECT_EQ(root->hooks.back(), "didDisappear");
  EXPECT_EQ(second->hooks, (std::vector<std::string>{"willAppear", "didAppear"}));

  ZKViewController* top = navigation->popViewControllerAnimated(true);
  EXPECT_EQ(top, root);  // the one that becomes current, not the one removed
  ASSERT_TRUE(runUntil([&] { return navigation->isTransitioning(); }));
  EXPECT_LT(root->view()->x(), 0);  // coming back from the left
  ASSERT_TRUE(runUntil([&] { return settled(); }, 2));
  EXPECT_EQ(navigation->currentViewController(), root);
  EXPECT_EQ(navigation->viewControllers().size(), 1);
  qvtesting::saveGrab(window.get(), "uikit", "navigation-after-pop");
}

TEST_F(NavigationTest, PoppingTheLastControllerChangesNothing) {
  auto* root = pane("Root");
  navigation->setViewControllers({root}, false);
  EXPECT_EQ(navigation->popViewControllerAnimated(true), root);
  runFor(0.05);
  EXPECT_EQ(navigation->currentViewController(), root);
  EXPECT_EQ(navigation->viewControllers(), QList<ZKViewController*>{root});
  EXPECT_TRUE(root->view()->isVisible());

  ZKNavigationController empty;
  EXPECT_EQ(empty.popViewControllerAnimated(false), nullptr);
  EXPECT_EQ(empty.popToRootViewControllerAnimated(false), nullptr);
}

TEST_F(NavigationTest, PushesAndPopsInOneTurnApplyInCallOrder) {
  auto* root = pane("Root");
  navigation->setViewControllers({root}, false);
  auto* a = pane("A");
  auto* b = pane("B");
  QPointer<TestPaneController> watchB = b;
  navigation->pushViewController(a, false);
  navigation->pushViewController(b, false);
  ASSERT_TRUE(runUntil([&] { return navigation->currentViewController() == b; }));
  EXPECT_EQ(navigation->viewControllers(), (QList<ZKViewController*>{root, a, b}));

  EXPECT_EQ(navigation->popToRootViewControllerAnimated(false), root);
  ASSERT_TRUE(runUntil([&] { return navigation->currentViewController() == root; }));
  EXPECT_EQ(navigation->viewControllers(), QList<ZKViewController*>{root});
  // Controllers the stack owned are gone once they left it.
  ASSERT_TRUE(runUntil([&] { return watchB.isNull(); }));
}

TEST_F(NavigationTest, PoppingToAControllerOutsideTheStackIsLogged) {
  auto* root = pane("Root");
  auto* a = pane("A");
  navigation->setViewControllers({root, a}, false);
  {
    qvtesting::LogCapture log;
    navigation->popToController(a, true);
    EXPECT_TRUE(log.contains("View controller is already the top item"));
  }
  std::unique_ptr<TestPaneController> stranger(pane("Stranger"));
  {
    qvtesting::LogCapture log;
    navigation->popToController(stranger.get(), true);
    EXPECT_TRUE(log.contains("Could not find in stack: <TestPaneController: 0x"));
    EXPECT_TRUE(log.contains("Stack: (<TestPaneController"));
  }
  navigation->popToController(root, false);
  ASSERT_TRUE(runUntil([&] { return navigation->currentViewController() == root; }));
  EXPECT_EQ(navigation->viewControllers(), QList<ZKViewController*>{root});
}

TEST_F(NavigationTest, TheWindowGrowsForAControllerThatWantsMoreRoom) {
  auto* root = pane("Root");
  navigation->setViewControllers({root}, false);
  const QSize start = window->size();
  auto* modest = pane("Modest");  // no wish: never resizes
  navigation->setCurrentViewController(modest, false, false);
  EXPECT_EQ(window->size(), start);

  auto* large = pane("Large");
  large->minimumSize = QSizeF(500, 360);
  navigation->pushViewController(large, false);
  // Content 500 wide (container at x 0) and 360 + the 40-point bar above the container high.
  ASSERT_TRUE(runUntil([&] { return window->size() == QSize(500, 400); }));
  EXPECT_EQ(window->minimumSize(), QSize(500, 400));
  EXPECT_EQ(navigation->originalMinSize(), QSize(0, 0));

  auto* small = pane("Small");
  small->minimumSize = QSizeF(100, 100);  // the container is already larger
  EXPECT_FALSE(navigation->resizeWindowIfNeededForViewController(small, false));
  small->setForceResize(true);
  EXPECT_TRUE(navigation->resizeWindowIfNeededForViewController(small, false));
  delete small;
}

TEST_F(NavigationTest, VisibilityReachesEveryStackedController) {
  auto* root = pane("Root");
  auto* a = pane("A");
  navigation->setViewControllers({root, a}, false);
  navigation->setIsVisible(true);
  EXPECT_TRUE(root->zk_isVisible());
  EXPECT_TRUE(a->zk_isVisible());
  a->setModuleIsVisible(false);  // a pane tells its navigation controller
  EXPECT_FALSE(navigation->isVisible());
  EXPECT_FALSE(root->zk_isVisible());
  EXPECT_TRUE(a->moduleIsResizable());
  a->setModuleIsResizable(false);
  EXPECT_TRUE(a->moduleIsResizable());  // the base answers yes whatever was set
  EXPECT_TRUE(a->moduleWindowTitle().isNull());
}

}  // namespace

#include "ControllersTests.moc"
