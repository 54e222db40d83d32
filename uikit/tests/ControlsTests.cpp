// The drawn controls driven as a user drives them: the switch by mouse, keys and accessibility (and a
// disabled one refusing all three), the spinning indicator in both animation modes and its determinate
// edge cases, the flat buttons' looks and clicks, hover buttons, tinted images and emoji cells.
#include <gtest/gtest.h>

#include <QtGui/QAccessible>
#include <QtGui/QMouseEvent>
#include <QtTest/QTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QVBoxLayout>
#include <cmath>
#include <thread>

#include "platform/Log.h"
#include "platform/desktop/testing/GuiTest.h"
#include "uikit/BHThemableSpinningProgressIndicator.h"
#include "uikit/DDThemableITSwitch.h"
#include "uikit/ITSwitch.h"
#include "uikit/QVEmojiButtonCell.h"
#include "uikit/QVTabButtonCell.h"
#include "uikit/YRKSpinningProgressIndicator.h"
#include "uikit/ZKButton.h"
#include "uikit/ZKFontFamilies.h"
#include "uikit/ZKThemableButton.h"
#include "uikit/ZKThemableImageButton.h"
#include "uikit/ZKThemableImageView.h"
#include "uikit/ZKThemeManager.h"
#include "uikit/ZKTintableImageButton.h"
#include "uikit/ZKYosemiteButton.h"

namespace {

void sendMouse(QWidget* widget, QEvent::Type type, QPointF pos, Qt::MouseButton button = Qt::LeftButton) {
  const Qt::MouseButtons held =
      type == QEvent::MouseButtonRelease ? Qt::NoButton : Qt::MouseButtons(Qt::LeftButton);
  QMouseEvent event(type, pos, widget->mapToGlobal(pos), type == QEvent::MouseMove ? Qt::NoButton : button,
                    held, Qt::NoModifier);
  QApplication::sendEvent(widget, &event);
}

bool near(double a, double b) { return std::abs(a - b) < 1e-6; }

class ControlsTest : public qvtesting::GuiTest {
 protected:
  void SetUp() override {
    GuiTest::SetUp();
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    window.resize(200, 120);
    auto* layout = new QVBoxLayout(&window);
    (void)layout;
  }
  void TearDown() override {
    ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDLightTheme"));
    GuiTest::TearDown();
  }
  QWidget window;
};

// ---- Switch ----

class SwitchTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    control = new ITSwitch(&window);
    control->setGeometry(10, 10, 52, 30);
    window.show();
    QObject::connect(control, &ITSwitch::action, [this] { ++actions; });
  }
  ITSwitch* control = nullptr;
  int actions = 0;
};

TEST_F(SwitchTest, KnobGeometryFollowsValueAndPress) {
  const double w = 52, h = 30;
  QRectF knob = control->rectForKnob();
  EXPECT_TRUE(near(knob.height(), h - 2));
  EXPECT_TRUE(near(knob.y(), 1));
  EXPECT_NEAR(knob.width(), (w - 2) / 1.6180340051651, 1e-6);
  EXPECT_TRUE(near(knob.x(), 1));
  control->setChecked(true, false);
  knob = control->rectForKnob();
  EXPECT_TRUE(near(knob.x(), w - knob.width() - 1));
  // Held down, the knob stretches.
  sendMouse(control, QEvent::MouseButtonPress, QPointF(10, 10));
  EXPECT_TRUE(control->isActive());
  EXPECT_NEAR(control->rectForKnob().width(), (w - 2) / 1.38, 1e-6);
  sendMouse(control, QEvent::MouseButtonRelease, QPointF(10, 10));
  EXPECT_FALSE(control->isActive());
  EXPECT_NEAR(control->rectForKnob().width(), (w - 2) / 1.6180340051651, 1e-6);
  // The drawn knob settles on the target after the animation.
  ASSERT_TRUE(runUntil([&] { return !control->isAnimating(); }, 3));
  EXPECT_EQ(control->displayedLook().knob, control->rectForKnob());
}

TEST_F(SwitchTest, EveryClickAndDragToggles) {
  struct Case {
    const char* name;
    std::vector<QPointF> drag;  // move positions between press and release
    bool dragsTowardsOnAtEnd;
  };
  const Case cases[] = {{"click", {}, false},
                        {"drag to the right", {{20, 10}, {45, 10}}, true},
                        {"drag back where it started", {{45, 10}, {5, 10}}, false}};
  bool expected = false;
  int expectedActions = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sendMouse(control, QEvent::MouseButtonPress, QPointF(5, 10));
    for (const QPointF& p : c.drag) sendMouse(control, QEvent::MouseMove, p);
    if (!c.drag.empty()) {
      EXPECT_TRUE(control->hasDragged());
      EXPECT_EQ(control->isDraggingTowardsOn(), c.dragsTowardsOnAtEnd);
      // The track shows the side the pointer is on.
      EXPECT_EQ(control->targetLook().trackFill.alpha() > 0, c.dragsTowardsOnAtEnd);
    }
    sendMouse(control, QEvent::MouseButtonRelease, c.drag.empty() ? QPointF(5, 10) : c.drag.back());
    expected = !expected;
    ++expectedActions;
    EXPECT_EQ(control->checked(), expected);
    EXPECT_EQ(actions, expectedActions);
    EXPECT_FALSE(control->hasDragged());
    EXPECT_FALSE(control->isDraggingTowardsOn());
  }
}

TEST_F(SwitchTest, KeysMoveAndToggle) {
  control->setFocus();
  ASSERT_TRUE(runUntil([&] { return control->hasFocus(); }) || QApplication::focusWidget() == control);
  QTest::keyClick(control, Qt::Key_Left);  // already off: nothing
  EXPECT_FALSE(control->checked());
  EXPECT_EQ(actions, 0);
  QTest::keyClick(control, Qt::Key_Right);
  EXPECT_TRUE(control->checked());
  QTest::keyClick(control, Qt::Key_Right);  // already on: nothing
  EXPECT_EQ(actions, 1);
  QTest::keyClick(control, Qt::Key_Space);
  EXPECT_FALSE(control->checked());
  QTest::keyClick(control, Qt::Key_Left);
  EXPECT_EQ(actions, 2);
  // Other keys are not the switch's.
  QKeyEvent other(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, QStringLiteral("a"));
  QApplication::sendEvent(control, &other);
  EXPECT_FALSE(other.isAccepted());
  EXPECT_EQ(actions, 2);
}

TEST_F(SwitchTest, AccessibilitySeesACheckBoxWithPressAndValue) {
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
  ASSERT_NE(accessible, nullptr);
  EXPECT_EQ(accessible->role(), QAccessible::CheckBox);
  EXPECT_TRUE(accessible->state().checkable);
  EXPECT_FALSE(accessible->state().checked);
  ASSERT_NE(accessible->actionInterface(), nullptr);
  EXPECT_TRUE(
      accessible->actionInterface()->actionNames().contains(QAccessibleActionInterface::pressAction()));
  accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  EXPECT_TRUE(control->checked());
  EXPECT_TRUE(accessible->state().checked);
  EXPECT_EQ(accessible->valueInterface()->currentValue().toInt(), 1);
  EXPECT_EQ(actions, 1);
  // Setting the value to what it is sends nothing; a new value sends the action.
  accessible->valueInterface()->setCurrentValue(1);
  EXPECT_EQ(actions, 1);
  accessible->valueInterface()->setCurrentValue(0);
  EXPECT_FALSE(control->checked());
  EXPECT_EQ(actions, 2);
}

TEST_F(SwitchTest, DisabledSwitchRefusesMouseKeysAndAccessibility) {
  control->setEnabled(false, false);
  EXPECT_DOUBLE_EQ(control->targetLook().opacity, 0.5);
  sendMouse(control, QEvent::MouseButtonPress, QPointF(5, 10));
  sendMouse(control, QEvent::MouseMove, QPointF(45, 10));
  sendMouse(control, QEvent::MouseButtonRelease, QPointF(45, 10));
  EXPECT_FALSE(control->isActive());
  EXPECT_FALSE(control->hasDragged());
  for (int key : {Qt::Key_Right, Qt::Key_Space}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(control, &press);
  }
  control->moveRight();
  EXPECT_FALSE(control->performPress());
  QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(control);
  EXPECT_TRUE(accessible->state().disabled);
  accessible->actionInterface()->doAction(QAccessibleActionInterface::pressAction());
  accessible->valueInterface()->setCurrentValue(1);
  EXPECT_FALSE(control->checked());
  EXPECT_EQ(actions, 0);
  // Code may still set the value of a disabled switch.
  control->setChecked(true, false);
  EXPECT_TRUE(control->checked());
  EXPECT_EQ(actions, 0);
}

TEST_F(SwitchTest, CodeChangesWriteTheBindingButSendNoAction) {
  QObject settings;
  settings.setProperty("notificationsEnabled", false);
  control->bind(QStringLiteral("checked"), {&settings, "notificationsEnabled", {}, true});
  control->setChecked(true);
  EXPECT_TRUE(settings.property("notificationsEnabled").toBool());
  EXPECT_EQ(actions, 0);

  // A transformer that cannot reverse: logged, the value written unchanged; no object: logged, nothing.
  std::vector<std::string> lines;
  platform::setLogSink([](std::string_view line,
                          void* into) { static_cast<std::vector<std::string>*>(into)->emplace_back(line); },
                       &lines);
  control->bind(QStringLiteral("checked"),
                {&settings, "notificationsEnabled", [](const QVariant& v) { return v; }, false});
  control->setChecked(false);
  EXPECT_FALSE(settings.property("notificationsEnabled").toBool());
  control->bind(QStringLiteral("checked"), {nullptr, "notificationsEnabled", {}, true});
  control->setChecked(true);
  platform::setLogSink(nullptr, nullptr);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_NE(lines[0].find("doesn't allow reverse transformations"), std::string::npos);
  EXPECT_NE(lines[1].find("NSObservedObjectKey was nil for binding \"checked\""), std::string::npos);
  EXPECT_FALSE(settings.property("notificationsEnabled").toBool());
}

TEST_F(SwitchTest, ColoursFallBackToDefaultsAndFollowTheTheme) {
  control->setChecked(true, false);
  control->setTintColor(Qt::red);
  EXPECT_EQ(control->targetLook().trackFill, QColor(Qt::red));
  control->setTintColor(QColor());
  EXPECT_EQ(control->targetLook().trackFill, ITSwitch::defaultTintColor());

  DDThemableITSwitch themed(&window);
  themed.setDisabledBorderColorKey(QStringLiteral("switchBorderColor"));
  EXPECT_EQ(themed.disabledBorderColor(), QColor::fromRgbF(0, 0, 0, 0.3f));
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
  EXPECT_EQ(themed.disabledBorderColor(), QColor::fromRgbF(1, 1, 1, 0.5f));
}

// ---- Spinning indicator ----

// Records the thread of every drawing.
class RecordingSpinner : public YRKSpinningProgressIndicator {
 public:
  using YRKSpinningProgressIndicator::YRKSpinningProgressIndicator;
  std::vector<std::thread::id> paintThreads;

 protected:
  void paintEvent(QPaintEvent* event) override {
    paintThreads.push_back(std::this_thread::get_id());
    YRKSpinningProgressIndicator::paintEvent(event);
  }
};

TEST_F(ControlsTest, SpinnerStepsAndDrawsOnTheGuiThreadInBothModes) {
  const auto gui = std::this_thread::get_id();
  for (bool threaded : {true, false}) {
    SCOPED_TRACE(threaded ? "threaded" : "timer");
    auto* spinner = new RecordingSpinner(&window);
    spinner->setGeometry(10, 10, 32, 32);
    window.show();
    spinner->show();
    spinner->setUsesThreadedAnimation(threaded);
    spinner->startAnimation();
    EXPECT_EQ(spinner->hasAnimationThread(), threaded);
    ASSERT_TRUE(runUntil([&] { return spinner->frameCount() >= 4; }, 5));
    EXPECT_EQ(spinner->lastStepThread(), gui);
    ASSERT_FALSE(spinner->paintThreads.empty());
    for (const auto& id : spinner->paintThreads) EXPECT_EQ(id, gui);
    // Switching the mechanism while turning restarts on the other one.
    spinner->setUsesThreadedAnimation(!threaded);
    EXPECT_TRUE(spinner->isAnimating());
    EXPECT_EQ(spinner->hasAnimationThread(), !threaded);
    spinner->stopAnimation();
    EXPECT_FALSE(spinner->hasAnimationThread());
    const int frames = spinner->frameCount();
    runFor(0.15);
    EXPECT_EQ(spinner->frameCount(), frames);
    delete spinner;
  }
}

TEST_F(ControlsTest, SpinnerFinAlphasStayWithinRange) {
  YRKSpinningProgressIndicator spinner;
  for (int position = -30; position <= 30; ++position) {
    const double alpha = spinner.alphaValueForPosition(position);
    EXPECT_GE(alpha, 0.0) << position;
    EXPECT_LE(alpha, 1.0) << position;
  }
  EXPECT_DOUBLE_EQ(spinner.alphaValueForPosition(0), 1.0);
  EXPECT_NEAR(spinner.alphaValueForPosition(11), std::pow(0.85, 11), 1e-12);
  for (const QColor& fin : YRKSpinningProgressIndicator::finColorsForPosition(Qt::black, -7, 0.15))
    EXPECT_GE(fin.alphaF(), 0.15f - 1e-6);
}

TEST_F(ControlsTest, SpinnerBrightFinStepsClockwise) {
  YRKSpinningProgressIndicator spinner(&window);
  spinner.setUsesThreadedAnimation(false);
  spinner.startAnimation();
  spinner.updateFrameFromTimer();  // draws position 0: fin 0 (top) is the bright one
  EXPECT_FLOAT_EQ(spinner.finColor(0).alphaF(), 1.0f);
  spinner.updateFrameFromTimer();  // position 1: fin 11, 30 degrees clockwise of the top
  EXPECT_FLOAT_EQ(spinner.finColor(11).alphaF(), 1.0f);
  EXPECT_LT(spinner.finColor(0).alphaF(), 1.0f);
}

TEST_F(ControlsTest, DeterminateSpinnerFractions) {
  struct Case {
    double value, max, fraction;
  };
  const Case cases[] = {{25, 100, 0.25}, {150, 100, 1.0}, {-5, 100, 0.0},  {5, 0, 0.0},
                        {0, 0, 0.0},     {5, -10, 0.0},   {NAN, 100, 0.0}, {5, INFINITY, 0.0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.value << " of " << c.max);
    YRKSpinningProgressIndicator spinner(&window);
    spinner.setGeometry(0, 0, 24, 24);
    spinner.setMaxValue(c.max);
    spinner.setCurrentValue(c.value);
    EXPECT_FALSE(spinner.isIndeterminate());
    EXPECT_DOUBLE_EQ(spinner.fractionDone(), c.fraction);
    EXPECT_FALSE(spinner.grab().isNull());  // draws without dividing by zero
  }
  // A quarter fills twelve to three o'clock: the pixel right of the top is filled, left of it not.
  YRKSpinningProgressIndicator quarter(&window);
  quarter.setGeometry(0, 0, 40, 40);
  quarter.setCurrentValue(25);
  const QImage image = quarter.grab().toImage();
  const double dpr = image.devicePixelRatio();
  EXPECT_LT(image.pixelColor(int(26 * dpr), int(12 * dpr)).lightnessF(), 0.3);
  EXPECT_GT(image.pixelColor(int(14 * dpr), int(12 * dpr)).lightnessF(), 0.7);
}

TEST_F(ControlsTest, SpinnerStartStopAndWindows) {
  YRKSpinningProgressIndicator spinner;
  // Outside any window the flag is set but nothing turns until the spinner enters one.
  spinner.setUsesThreadedAnimation(false);
  spinner.startAnimation();
  EXPECT_TRUE(spinner.isAnimating());
  runFor(0.12);
  EXPECT_EQ(spinner.frameCount(), 0);
  spinner.setParent(&window);
  window.show();
  ASSERT_TRUE(runUntil([&] { return spinner.frameCount() >= 2; }, 3));
  // Leaving the window stops it for good.
  spinner.setParent(nullptr);
  EXPECT_FALSE(spinner.isAnimating());
  // Determinate: start does nothing; turning determinate stops.
  spinner.setParent(&window);
  spinner.setIsIndeterminate(false);
  spinner.startAnimation();
  EXPECT_FALSE(spinner.isAnimating());
  spinner.setIsIndeterminate(true);
  spinner.startAnimation();
  spinner.setIsIndeterminate(false);
  EXPECT_FALSE(spinner.isAnimating());
  // Hidden while stopped when not displayed then.
  spinner.setDisplayedWhenStopped(false);
  EXPECT_TRUE(spinner.isHidden());
  spinner.setIsIndeterminate(true);
  spinner.startAnimation();
  EXPECT_FALSE(spinner.isHidden());
  spinner.stopAnimation();
  EXPECT_TRUE(spinner.isHidden());
  spinner.setParent(nullptr);
}

TEST_F(ControlsTest, ThemableSpinnerColours) {
  BHThemableSpinningProgressIndicator spinner(&window);
  spinner.setTintColorKey(QStringLiteral("progressIndicatorColor"));
  const QColor light = QColor::fromRgbF(0.3647f, 0.3647f, 0.3843f);
  EXPECT_EQ(spinner.color(), light);
  spinner.setBackgroundStyle(BHThemableSpinningProgressIndicator::BackgroundStyleEmphasized);
  EXPECT_EQ(spinner.color(), QColor(Qt::white));
  // A theme change while selected gives it the theme colour.
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
  EXPECT_EQ(spinner.color(), QColor::fromRgbF(1, 1, 1, 0.85f));
  spinner.awakeFromNib();
  EXPECT_FALSE(spinner.usesThreadedAnimation());
  EXPECT_FALSE(spinner.isDisplayedWhenStopped());
}

// ---- Buttons ----

TEST_F(ControlsTest, ButtonCellsPickTheirStateLook) {
  struct Case {
    const char* cell;
    bool awake, hovered, pressed;
    int state;
    double inset;
    bool outline;
  };
  const Case cases[] = {
      {"ZKTealYosemiteButtonCell", true, false, false, 0, 0.0, false},
      {"ZKGreenYosemiteButtonCell", true, false, false, 0, 1.5, true},
      {"ZKNormalYosemiteButton", false, false, false, 0, 0.5, true},
      {"QVTabButtonCell", false, false, false, 0, 0.5, true},   // unselected: grey outline
      {"QVTabButtonCell", false, false, false, 1, 0.0, false},  // selected: blue, no outline
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.cell);
    auto cell = ZKYosemiteButtonCell::cellWithClassName(QString::fromUtf8(c.cell));
    ASSERT_NE(cell, nullptr);
    if (c.awake) cell->awakeFromNib();
    cell->setState(c.state);
    const auto bezel = cell->bezel();
    EXPECT_DOUBLE_EQ(bezel.inset, c.inset);
    EXPECT_EQ(bezel.stroke.isValid(), c.outline);
  }
  ZKTealYosemiteButtonCell teal;
  teal.setMouseDown(true);
  EXPECT_EQ(teal.bezel().gradient, ZKGradient::oneColor(QColor::fromRgbF(0.2039f, 0.6f, 0.5608f)));
  QVTabButtonCell tab;
  EXPECT_EQ(tab.currentTitleColor(), QColor::fromRgbF(0.302f, 0.302f, 0.302f));
  tab.setHovered(true);
  EXPECT_EQ(tab.currentTitleColor(), QColor(Qt::white));
  EXPECT_EQ(tab.bezel().fill, QColor::fromRgbF(0, 0.4941f, 0.898f));
  tab.setEnabled(false);  // a disabled tab shows no hover
  EXPECT_EQ(tab.bezel().fill, QColor(Qt::white));
  EXPECT_EQ(ZKYosemiteButtonCell::cellWithClassName(QStringLiteral("NoSuchCell")), nullptr);
}

TEST_F(ControlsTest, YosemiteButtonClicksOnlyWhenReleasedInside) {
  ZKYosemiteButton button(QStringLiteral("ZKBlueYosemiteButtonCell"), QStringLiteral("Save"), &window);
  button.setGeometry(10, 10, 90, 26);
  window.show();
  int clicks = 0;
  QObject::connect(&button, &QAbstractButton::clicked, [&] { ++clicks; });
  sendMouse(&button, QEvent::MouseButtonPress, QPointF(20, 10));
  EXPECT_TRUE(button.buttonCell()->mouseDown());
  sendMouse(&button, QEvent::MouseButtonRelease, QPointF(200, 10));
  EXPECT_FALSE(button.buttonCell()->mouseDown());
  EXPECT_EQ(clicks, 0);
  sendMouse(&button, QEvent::MouseButtonPress, QPointF(20, 10));
  sendMouse(&button, QEvent::MouseButtonRelease, QPointF(20, 10));
  EXPECT_EQ(clicks, 1);
  button.setFocus();
  QTest::keyClick(&button, Qt::Key_Space);
  EXPECT_EQ(clicks, 2);
  // Disabled: faded and deaf.
  button.setEnabled(false);
  ASSERT_TRUE(runUntil([&] { return button.alphaValue() <= 0.5 + 1e-9; }, 3));
  sendMouse(&button, QEvent::MouseButtonPress, QPointF(20, 10));
  EXPECT_FALSE(button.buttonCell()->mouseDown());
  sendMouse(&button, QEvent::MouseButtonRelease, QPointF(20, 10));
  EXPECT_EQ(clicks, 2);
}

TEST_F(ControlsTest, HoverButtonsTellTheirCellAndFade) {
  ZKButton button(&window);
  window.show();
  EXPECT_EQ(button.cursor().shape(), Qt::PointingHandCursor);
  QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), button.mapToGlobal(QPointF(2, 2)));
  QApplication::sendEvent(&button, &enter);
  EXPECT_TRUE(button.cell()->hovered());
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&button, &leave);
  EXPECT_FALSE(button.cell()->hovered());
  button.setEnabled(false);
  ASSERT_TRUE(runUntil([&] { return std::abs(button.alphaValue() - 0.5) < 1e-6; }, 3));
  EXPECT_EQ(button.cursor().shape(), Qt::PointingHandCursor);
}

TEST_F(ControlsTest, TintableImagesKeepTheirLastTint) {
  QImage icon(8, 8, QImage::Format_ARGB32_Premultiplied);
  icon.fill(Qt::transparent);
  for (int i = 2; i < 6; ++i) icon.setPixelColor(i, i, Qt::black);
  ZKTintableImageButton button(&window);
  button.setTintColor(Qt::red);
  button.setImage(icon);
  EXPECT_EQ(button.image().pixelColor(3, 3), QColor(Qt::red));
  EXPECT_EQ(button.image().pixelColor(0, 7).alpha(), 0);
  button.setTintColor(QColor());  // none: keeps the last tint
  EXPECT_EQ(button.image().pixelColor(3, 3), QColor(Qt::red));
  // A selected row shows the highlight tint, and back.
  button.setHighlightColor(Qt::white);
  button.setBackgroundStyle(ZKTintableImageButton::BackgroundStyleEmphasized);
  EXPECT_EQ(button.image().pixelColor(3, 3), QColor(Qt::white));
  ZKTintableImageButton plain(&window);
  plain.setTintColor(Qt::blue);
  plain.setImage(icon);
  plain.setBackgroundStyle(ZKTintableImageButton::BackgroundStyleEmphasized);  // no highlight colour
  EXPECT_EQ(plain.image().pixelColor(3, 3), QColor(Qt::blue));

  ZKThemableImageView view(&window);
  view.setTintColorKey(QStringLiteral("deleteIconColor"));
  view.setImage(icon);
  EXPECT_EQ(view.image().pixelColor(3, 3).name(), QColor::fromRgbF(0.9569f, 0.2784f, 0.2784f).name());
}

TEST_F(ControlsTest, ThemableButtonImageComesWithTheDarkTheme) {
  ZKThemableButton button(&window);
  button.setImageKey(QStringLiteral("settingsIconImage"));
  EXPECT_TRUE(button.isConfigured());
  EXPECT_TRUE(button.image().isNull());  // the light theme has no such image
  ZKThemeManager::sharedManager().changeTheme(QStringLiteral("DDDarkTheme"));
  EXPECT_FALSE(button.image().isNull());
  EXPECT_EQ(button.alternateImage(), button.image());  // without its own key
}

TEST_F(ControlsTest, EmojiCellSizeAndPlacement) {
  QVEmojiButtonCell cell;
  EXPECT_EQ(cell.emojiFont().pixelSize(), 14);
  cell.setFontSize(20);
  EXPECT_EQ(cell.emojiFont().pixelSize(), 20);
  const QString family = zk_installedFontFamily(QStringLiteral("Apple Color Emoji"));
  if (!family.isEmpty()) {
    EXPECT_EQ(cell.emojiFont().families().value(0), family);
  }
  const QRectF rect = cell.titleRectForFrame(QRectF(0.5, 0.25, 31.3, 27.7), QStringLiteral("🚀"));
  for (double v : {rect.x(), rect.y(), rect.width(), rect.height()}) EXPECT_EQ(v, std::floor(v));
}

}  // namespace
