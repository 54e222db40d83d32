#include <gtest/gtest.h>

#include <QtWidgets/QCheckBox>
#include <QtWidgets/QLabel>
#include <QtWidgets/QMessageBox>
#include <QtWidgets/QPushButton>

#include "platform/desktop/testing/GuiTest.h"
#include "uikit/NSWindow+ContentView.h"
#include "uikit/ZKAlert.h"
#include "uikit/ZKScriptedAlertPresenter.h"
#include "uikit/ZKView.h"
#include "uikit/ZKYosemiteWindow.h"

namespace {

class WindowsTest : public qvtesting::GuiTest {
 protected:
  void TearDown() override {
    ZKAlertPresenter::setShared(nullptr);
    GuiTest::TearDown();
  }
};

struct ContentSizeCase {
  const char* name;
  QSizeF wanted;
  double thickness;
  QRect expected;
};

TEST_F(WindowsTest, ContentSizeChangesKeepTheTopEdgeAndTheCentre) {
  const ContentSizeCase cases[] = {
      {"same size", {400, 300}, 0, {100, 100, 400, 300}},
      {"100 wider", {500, 300}, 0, {50, 100, 500, 300}},
      {"40 taller", {400, 340}, 0, {100, 100, 400, 340}},
      {"smaller", {300, 200}, 0, {150, 100, 300, 200}},
      {"thickness 20", {400, 300}, 20, {100, 100, 400, 320}},
  };
  for (const auto& c : cases) {
    QWidget window;
    window.setGeometry(100, 100, 400, 300);
    zk_setContentSize(&window, c.wanted, false, c.thickness);
    EXPECT_EQ(window.geometry(), c.expected) << c.name;
    QWidget original;
    original.setGeometry(100, 100, 400, 300);
    zk_originalSetContentSize(&original, c.wanted, true);
    if (c.thickness == 0) {
      EXPECT_EQ(original.geometry(), c.expected) << c.name;
    }
  }
}

TEST_F(WindowsTest, AnimatedContentSizeEndsAtTheSameFrame) {
  QWidget window;
  window.setGeometry(100, 100, 400, 300);
  window.show();
  ASSERT_TRUE(runUntil([&] { return window.isVisible(); }));
  const QRect start = window.geometry();
  zk_setContentSize(&window, {500, 340}, true);
  const QRect expected(start.x() - 50, start.y(), 500, 340);
  ASSERT_TRUE(runUntil([&] { return window.geometry() == expected; }, 3));
}

TEST_F(WindowsTest, WindowHelpersAnswerForTheirState) {
  ZKYosemiteWindow window;
  auto* content = new ZKView;
  window.resize(400, 300);
  window.setActualContentView(content);
  window.show();
  EXPECT_EQ(window.contentView(), content);
  EXPECT_EQ(content->geometry(), QRect(0, 0, 400, 300));
  EXPECT_EQ(zk_contentSize(&window), QSizeF(400, 263));
  window.resize(500, 350);
  EXPECT_EQ(content->size(), QSize(500, 350));

  QWidget plain;
  plain.resize(300, 200);
  EXPECT_TRUE(zk_isResizable(&plain));
  zk_setResizable(&plain, false);
  EXPECT_FALSE(zk_isResizable(&plain));
  EXPECT_EQ(plain.minimumSize(), QSize(300, 200));
  zk_setResizable(&plain, false);  // already fixed: unchanged
  EXPECT_EQ(plain.maximumSize(), QSize(300, 200));
  zk_setResizable(&plain, true);
  EXPECT_TRUE(zk_isResizable(&plain));
  EXPECT_EQ(plain.minimumSize(), QSize(0, 0));

  const std::pair<Qt::WindowStates, bool> states[] = {
      {Qt::WindowNoState, false},   {Qt::WindowMaximized, false},
      {Qt::WindowMinimized, false}, {Qt::WindowMaximized | Qt::WindowActive, false},
      {Qt::WindowFullScreen, true}, {Qt::WindowFullScreen | Qt::WindowActive, true}};
  for (const auto& [state, full] : states) {
    QWidget w;
    w.setWindowState(state);
    EXPECT_EQ(zk_isFullScreen(&w), full) << int(state);
  }
  SFWindow key;
  EXPECT_TRUE(key.canBecomeKeyWindow() && key.canBecomeMainWindow() && key.acceptsFirstResponder());
  EXPECT_EQ(key.focusPolicy(), Qt::StrongFocus);
}

TEST_F(WindowsTest, TitlesReachTheTitleLabel) {
  ZKYosemiteWindow window;
  auto* label = new QLabel(&window);
  window.setActualTitleLabel(label);
  window.setTitle(QStringLiteral("Preferences"));
  EXPECT_EQ(window.windowTitle(), QStringLiteral("Preferences"));
  EXPECT_EQ(label->text(), QStringLiteral("Preferences"));
  EXPECT_FALSE(window.contentBackgroundColor().isValid());
}

// Two sheet alerts open at once each end with their own completion and answer.
TEST_F(WindowsTest, EveryAlertKeepsItsOwnCompletion) {
  auto presenter = std::make_shared<ZKScriptedAlertPresenter>();
  ZKAlertPresenter::setShared(presenter);
  QWidget window;
  std::vector<std::pair<int, ZKModalResponse>> answers;
  auto first = ZKAlert::alert();
  first->messageText = QStringLiteral("Remove module?");
  auto second = ZKAlert::alert();
  second->messageText = QStringLiteral("Replace group?");
  second->showsSuppressionButton = true;
  zk_beginSheetModalForWindow(first, &window, [&](ZKModalResponse r) { answers.emplace_back(1, r); });
  zk_beginSheetModalForWindow(second, &window, [&](ZKModalResponse r) { answers.emplace_back(2, r); });
  EXPECT_EQ(presenter->presented().size(), 0u);  // shown on the next turn, not inside the call
  ASSERT_TRUE(runUntil([&] { return presenter->openCount() == 2; }));
  presenter->answer(1, {ZKAlertSecondButtonReturn, true});
  presenter->answer(0, {ZKAlertThirdButtonReturn});
  presenter->answer(0, {ZKAlertFirstButtonReturn});  // an alert ends once
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_EQ(answers[0], std::make_pair(2, ZKAlertSecondButtonReturn));
  EXPECT_EQ(answers[1], std::make_pair(1, ZKAlertThirdButtonReturn));
  EXPECT_TRUE(second->suppressionButtonState);
  EXPECT_FALSE(first->suppressionButtonState);
}

TEST_F(WindowsTest, DelayedAlertsWaitTheirDelayAndSurviveTheirWindow) {
  auto presenter = std::make_shared<ZKScriptedAlertPresenter>();
  ZKAlertPresenter::setShared(presenter);
  presenter->script({{ZKAlertFirstButtonReturn}, {ZKAlertSecondButtonReturn}});
  std::vector<ZKModalResponse> answers;
  auto start = std::chrono::steady_clock::now();
  auto window = std::make_unique<QWidget>();
  zk_beginSheetModalForWindow(ZKAlert::alert(), window.get(), 0.15,
                              [&](ZKModalResponse r) { answers.push_back(r); });
  zk_beginSheetModalForWindow(ZKAlert::alert(), window.get(), 0.0, nullptr);  // no completion: fine
  window.reset();
  ASSERT_TRUE(runUntil([&] { return answers.size() == 1; }));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_EQ(answers[0], ZKAlertSecondButtonReturn);
  EXPECT_EQ(presenter->presented().back()->window, nullptr);  // shown without its closed window
}

// The message boxes of the application, driven as a person would.
struct BoxCase {
  const char* name;
  QStringList buttons;
  QString press;  // empty: close the box without a button
  ZKModalResponse expected;
};

TEST_F(WindowsTest, MessageBoxesAnswerByButtonOrder) {
  const BoxCase cases[] = {
      {"first", {"Remove", "Cancel"}, "Remove", ZKAlertFirstButtonReturn},
      {"second", {"Remove", "Cancel"}, "Cancel", ZKAlertSecondButtonReturn},
      {"third", {"Save", "Don't Save", "Cancel"}, "Cancel", ZKAlertThirdButtonReturn},
      {"closed with a Cancel button", {"Save", "Cancel", "Later"}, "", ZKAlertSecondButtonReturn},
      {"closed without one", {"Quit", "Contact Support"}, "", ZKAlertSecondButtonReturn},
      {"no buttons", {}, "OK", ZKAlertFirstButtonReturn},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget window;
    window.resize(480, 320);
    window.show();
    auto alert = ZKAlert::alert();
    alert->messageText = QStringLiteral("Error Loading Modules Database");
    alert->informativeText = QStringLiteral("The modules database could not be read.");
    alert->buttonTitles = c.buttons;
    alert->showsSuppressionButton = true;
    std::optional<ZKModalResponse> answer;
    zk_beginSheetModalForWindow(alert, &window, [&](ZKModalResponse r) { answer = r; });
    QMessageBox* box = nullptr;
    ASSERT_TRUE(runUntil([&] {
      box = window.findChild<QMessageBox*>();
      return box && box->isVisible();
    }));
    EXPECT_EQ(box->windowModality(), Qt::WindowModal);
    ASSERT_TRUE(box->checkBox());
    if (c.name == std::string("first")) qvtesting::saveGrab(box, "uikit", "message-box");
    box->checkBox()->setChecked(true);
    if (c.press.isEmpty()) {
      box->reject();
    } else {
      QAbstractButton* target = nullptr;
      for (auto* button : box->buttons()) {
        if (button->text() == c.press) target = button;
      }
      ASSERT_TRUE(target);
      target->click();
    }
    ASSERT_TRUE(runUntil([&] { return answer.has_value(); }));
    EXPECT_EQ(*answer, c.expected);
    EXPECT_TRUE(alert->suppressionButtonState);
  }
}

}  // namespace
