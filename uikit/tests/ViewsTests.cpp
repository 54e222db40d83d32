#include <gtest/gtest.h>

#include <QtCore/QCoreApplication>
#include <QtGui/QFontMetrics>
#include <QtGui/QWheelEvent>
#include <QtWidgets/QHBoxLayout>
#include <QtWidgets/QLabel>
#include <QtWidgets/QPushButton>
#include <QtWidgets/QScrollBar>
#include <QtWidgets/QVBoxLayout>
#include <algorithm>

#include "platform/desktop/testing/GuiTest.h"
#include "uikit/BHPopoverView.h"
#include "uikit/ZKElidedLabel.h"
#include "uikit/ZKEnabledTextField.h"
#include "uikit/ZKGradientView.h"
#include "uikit/ZKNoScrollView.h"
#include "uikit/ZKView.h"
#include "uikit/ZKVisualEffectView.h"

namespace {

// A drawn view that counts its paintings.
class CountingView : public ZKView {
 public:
  using ZKView::ZKView;
  int paints = 0;

 protected:
  void paintEvent(QPaintEvent* event) override {
    ++paints;
    ZKView::paintEvent(event);
  }
};

// A host with a known backdrop, so that what a view leaves unpainted shows.
QWidget* makeHost(QSize size, QColor backdrop = Qt::black) {
  auto* host = new QWidget;
  host->resize(size);
  QPalette palette = host->palette();
  palette.setColor(QPalette::Window, backdrop);
  host->setPalette(palette);
  host->setAutoFillBackground(true);
  return host;
}

QImage render(QWidget* widget) { return widget->grab().toImage(); }

bool near(QColor a, QColor b, int tolerance = 3) {
  return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
         std::abs(a.blue() - b.blue()) <= tolerance && std::abs(a.alpha() - b.alpha()) <= tolerance;
}

class ViewsTest : public qvtesting::GuiTest {};

struct RedrawCase {
  const char* name;
  std::function<void(ZKView&)> change;
  bool redraws;
};

TEST_F(ViewsTest, OnlyTheDrawingPropertiesThatSayAskForARedraw) {
  const RedrawCase cases[] = {
      {"new background colour", [](ZKView& v) { v.setBackgroundColor(Qt::blue); }, true},
      {"same background colour", [](ZKView& v) { v.setBackgroundColor(Qt::red); }, false},
      {"background image", [](ZKView& v) { v.setBackgroundImage(QImage()); }, true},
      {"corner radius", [](ZKView& v) { v.setCornerRadius(4); }, true},
      {"rounded corners", [](ZKView& v) { v.setRoundedCorners(ZKView::TopLeft); }, true},
      {"shadow", [](ZKView& v) { v.setShadow(ZKShadow{}); }, true},
      {"border colour alone", [](ZKView& v) { v.setBorderColor(Qt::green); }, false},
      {"border width alone", [](ZKView& v) { v.setBorderWidth(2); }, false},
  };
  for (const auto& c : cases) {
    CountingView view;
    view.resize(60, 40);
    view.setBackgroundColor(Qt::red);
    view.show();
    ASSERT_TRUE(runUntil([&] { return view.paints > 0; }));
    runFor(0.02);
    const int before = view.paints;
    c.change(view);
    runFor(0.05);
    EXPECT_EQ(view.paints > before, c.redraws) << c.name;
  }
}

TEST_F(ViewsTest, DrawsTheCornersItsMaskRoundsAndItsBorder) {
  std::unique_ptr<QWidget> host(makeHost({120, 80}));
  auto* view = new ZKView(host.get());
  view->setGeometry(10, 10, 100, 60);
  view->setBackgroundColor(QColor(250, 250, 250));
  view->setBorderColor(QColor(0, 120, 255));
  view->setBorderWidth(2);
  view->setCornerRadius(24);
  view->setRoundedCorners(ZKView::TopLeft | ZKView::BottomRight);
  const QImage image = render(host.get());
  qvtesting::saveImage(image.scaled(480, 320), "uikit", "view-corners-top-left-bottom-right");
  // A masked corner is cut by a curve whose control points sit on the corner: it passes an eighth of
  // the radius (3 points here) in from the corner along the diagonal, leaving the backdrop there.
  EXPECT_TRUE(near(image.pixelColor(10, 10), Qt::black)) << "top left rounded";
  EXPECT_TRUE(near(image.pixelColor(109, 69), Qt::black)) << "bottom right rounded";
  EXPECT_FALSE(near(image.pixelColor(109, 10), Qt::black)) << "top right square";
  EXPECT_FALSE(near(image.pixelColor(10, 69), Qt::black)) << "bottom left square";
  EXPECT_FALSE(near(image.pixelColor(15, 15), Qt::black)) << "inside the cut";
  // The middle is the fill, the edge the border.
  EXPECT_TRUE(near(image.pixelColor(60, 40), QColor(250, 250, 250)));
  EXPECT_GT(image.pixelColor(60, 10).blue(), 150);
  EXPECT_LT(image.pixelColor(60, 10).red(), 120);

  // A view made in code with mask 0 draws a plain rectangle whatever the radius.
  view->setRoundedCorners(0);
  const QImage square = render(host.get());
  EXPECT_FALSE(near(square.pixelColor(10, 10), Qt::black));
  EXPECT_FALSE(near(square.pixelColor(109, 69), Qt::black));
}

TEST_F(ViewsTest, ShadowsAndImagesDrawWhereTheyBelong) {
  std::unique_ptr<QWidget> host(makeHost({140, 100}, Qt::white));
  auto* view = new ZKView(host.get());
  view->setGeometry(20, 20, 100, 60);
  view->setBackgroundColor(QColor(255, 200, 0));
  view->setCornerRadius(10);
  view->setRoundedCorners(ZKView::AllCorners);
  view->setShadow(ZKShadow{QColor(0, 0, 0, 160), QPointF(0, 3), 4});
  QImage stripe(10, 10, QImage::Format_ARGB32);
  stripe.fill(QColor(0, 0, 255));
  view->setBackgroundImage(stripe);
  view->setAlphaValue(0.5);
  const QImage image = render(host.get());
  qvtesting::saveImage(image.scaled(420, 300), "uikit", "view-shadow-and-image");
  // The image covers the whole view at half opacity, over the fill.
  const QColor middle = image.pixelColor(70, 50);
  EXPECT_NEAR(middle.blue(), 128, 12);
  EXPECT_NEAR(middle.red(), 128, 12);
  // The view casts a shadow just outside its bottom edge (clipped to the view, so inside it).
  const QColor bottomEdge = image.pixelColor(70, 79);
  EXPECT_LT(bottomEdge.red() + bottomEdge.green(), 2 * 255);
}

TEST_F(ViewsTest, GradientsRunFromTheirStartColour) {
  struct GradientCase {
    const char* name;
    bool vertical;
    QPoint startPixel, endPixel;
  };
  const GradientCase cases[] = {{"horizontal", false, {1, 20}, {98, 20}},
                                {"vertical", true, {50, 0}, {50, 39}}};
  for (const auto& c : cases) {
    std::unique_ptr<QWidget> host(makeHost({100, 40}));
    auto* gradient =
        new ZKGradientView(QRect(0, 0, 100, 40), QColor(255, 0, 0), QColor(0, 0, 255), host.get());
    gradient->setIsVertical(c.vertical);
    const QImage image = render(host.get());
    qvtesting::saveImage(image.scaled(300, 120), "uikit", std::string("gradient-") + c.name);
    EXPECT_GT(image.pixelColor(c.startPixel).red(), 240) << c.name;
    EXPECT_LT(image.pixelColor(c.startPixel).blue(), 15) << c.name;
    EXPECT_GT(image.pixelColor(c.endPixel).blue(), 240) << c.name;
    EXPECT_LT(image.pixelColor(c.endPixel).red(), 15) << c.name;
  }
  // With one colour missing it draws nothing.
  std::unique_ptr<QWidget> host(makeHost({50, 20}));
  auto* half = new ZKGradientView(host.get());
  half->setGeometry(0, 0, 50, 20);
  half->setStartColor(Qt::red);
  EXPECT_TRUE(near(render(host.get()).pixelColor(25, 10), Qt::black));
}

TEST_F(ViewsTest, EffectViewsSitBehindTheContentAndTakeTheBackground) {
  ZKVisualEffectView plain;
  plain.resize(120, 60);
  auto* label = new QLabel(QStringLiteral("Content"), &plain);
  plain.setBackgroundColor(Qt::red);
  plain.setWithinWindow(true);
  plain.addVisualEffectViewIfNeeded();
  plain.show();
  ASSERT_TRUE(plain.visualEffectView());
  EXPECT_EQ(plain.visualEffectView()->blendingMode(), ZKEffectView::BlendingMode::WithinWindow);
  EXPECT_EQ(plain.visualEffectView()->material(), ZKEffectView::Material::Light);
  EXPECT_FALSE(plain.backgroundColor().isValid());
  auto children = plain.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
  ASSERT_EQ(children.size(), 2);
  EXPECT_EQ(children.first(), plain.visualEffectView());  // lowest in the stacking order
  EXPECT_EQ(children.last(), label);
  plain.resize(200, 90);
  EXPECT_EQ(plain.visualEffectView()->geometry(), QRect(0, 0, 200, 90));

  std::unique_ptr<QWidget> host(makeHost({160, 60}, Qt::white));
  auto* tinted = new ZKTintedVisualEffectView(host.get());
  tinted->setGeometry(0, 0, 160, 60);
  tinted->setBackgroundColor(QColor(255, 120, 0));
  tinted->addVisualEffectViewIfNeeded();
  auto* effect = tinted->visualEffectView();
  ASSERT_TRUE(effect);
  EXPECT_EQ(effect->material(), ZKEffectView::Material::Dark);
  EXPECT_EQ(effect->state(), ZKEffectView::State::Active);
  auto* tint = effect->findChild<ZKGradientView*>();
  ASSERT_TRUE(tint);
  EXPECT_EQ(tint->startColor(), tint->endColor());
  EXPECT_NEAR(tint->startColor().alphaF(), 0.3, 0.01);
  EXPECT_EQ(tint->startColor().red(), 255);
  const QImage image = render(host.get());
  qvtesting::saveImage(image.scaled(480, 180), "uikit", "tinted-effect-view");
  const QColor shown = image.pixelColor(80, 30);
  EXPECT_GT(shown.red(), shown.blue() + 40);  // dark material with an orange tint

  tinted->setAlternateBackgroundColor(QColor(0, 200, 0));
  const QImage alternate = render(host.get());
  EXPECT_FALSE(tinted->backgroundColor().isValid());  // the stored colour is untouched
  // The alternate fill lies under the effect view, which covers the view: the drawing itself
  // happened without a further redraw being asked.
  EXPECT_EQ(alternate.size(), image.size());
}

TEST_F(ViewsTest, ScrollingByWheelOnlyWhenEnabledAndByCodeAlways) {
  ZKNoScrollView scroll;
  auto* content = new QWidget;
  content->setMinimumSize(200, 2000);
  scroll.setWidget(content);
  scroll.resize(200, 200);
  scroll.show();
  ASSERT_TRUE(runUntil([&] { return scroll.verticalScrollBar()->maximum() > 0; }));
  auto wheel = [&](QWidget* target) {
    QWheelEvent event(QPointF(50, 50), scroll.mapToGlobal(QPointF(50, 50)), QPoint(), QPoint(0, -240),
                      Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(target, &event);
    return event.isAccepted();
  };
  EXPECT_FALSE(scroll.scrollingEnabled());
  EXPECT_TRUE(wheel(scroll.viewport()));  // taken and dropped
  EXPECT_TRUE(wheel(scroll.verticalScrollBar()));
  EXPECT_EQ(scroll.verticalScrollBar()->value(), 0);
  scroll.verticalScrollBar()->setValue(300);  // by code
  EXPECT_EQ(scroll.verticalScrollBar()->value(), 300);
  scroll.setScrollingEnabled(true);
  wheel(scroll.viewport());
  EXPECT_GT(scroll.verticalScrollBar()->value(), 300);
}

TEST_F(ViewsTest, DisabledTextFieldsFadeAndComeBack) {
  QWidget parent;
  auto* field = new ZKEnabledTextField(&parent);
  field->setText(QStringLiteral("Refresh interval"));
  EXPECT_DOUBLE_EQ(field->alphaValue(), 1.0);
  field->setEnabled(false);
  EXPECT_DOUBLE_EQ(field->alphaValue(), 0.5);
  field->setEnabled(true);
  EXPECT_DOUBLE_EQ(field->alphaValue(), 1.0);
  field->setEnabled(false);
  field->setAlphaValue(0.8);  // shows at once, and becomes the enabled opacity
  EXPECT_DOUBLE_EQ(field->alphaValue(), 0.8);
  field->setEnabled(true);
  EXPECT_DOUBLE_EQ(field->alphaValue(), 0.8);
  field->setEnabled(false);
  EXPECT_NEAR(field->alphaValue(), 0.3, 1e-9);
  field->setEnabled(true);
  parent.setEnabled(false);  // a disabled parent fades it too
  EXPECT_NEAR(field->alphaValue(), 0.3, 1e-9);
  parent.setEnabled(true);
  EXPECT_DOUBLE_EQ(field->alphaValue(), 0.8);
  field->setAlphaValue(0.2);
  field->setEnabled(false);
  EXPECT_DOUBLE_EQ(field->alphaValue(), 0.0);  // never below clear
}

TEST_F(ViewsTest, PopoverViewsBackTheirWindowInWhiteOnce) {
  QWidget first;
  first.resize(200, 120);
  auto* popover = new BHPopoverView(&first);
  popover->setGeometry(10, 10, 180, 100);
  first.show();
  ASSERT_TRUE(runUntil([&] { return popover->backgroundView() != nullptr; }));
  ZKView* backing = popover->backgroundView();
  EXPECT_EQ(backing->parentWidget(), &first);
  EXPECT_EQ(backing->backgroundColor(), QColor(Qt::white));
  EXPECT_EQ(first.findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly).first(), backing);
  EXPECT_EQ(backing->geometry(), first.rect());

  QWidget second;
  second.resize(220, 140);
  popover->setParent(&second);
  popover->show();
  second.show();
  ASSERT_TRUE(runUntil(
      [&] { return popover->backgroundView() && popover->backgroundView()->parentWidget() == &second; }));
  ASSERT_TRUE(runUntil([&] {
    return first.findChildren<ZKView*>(QStringLiteral("popoverBackground")).isEmpty();
  })) << first.findChildren<ZKView*>(QStringLiteral("popoverBackground")).size();
  EXPECT_TRUE(first.findChildren<ZKView*>(QStringLiteral("popoverBackground")).isEmpty());
  EXPECT_EQ(second.findChildren<ZKView*>(QStringLiteral("popoverBackground")).size(), 1);
  second.hide();
  second.show();  // showing again in the same window adds nothing
  runFor(0.02);
  EXPECT_EQ(second.findChildren<ZKView*>(QStringLiteral("popoverBackground")).size(), 1);
}

TEST_F(ViewsTest, KitViewsSideBySide) {
  std::unique_ptr<QWidget> host(makeHost({520, 160}, QColor(236, 236, 236)));
  auto* layout = new QHBoxLayout(host.get());
  auto* card = new ZKView;
  card->setBackgroundColor(Qt::white);
  card->setBorderColor(QColor(200, 200, 200));
  card->setBorderWidth(1);
  card->setCornerRadius(8);
  card->setRoundedCorners(ZKView::AllCorners);
  auto* cardLayout = new QVBoxLayout(card);
  cardLayout->addWidget(new QLabel(QStringLiteral("Weather")));
  auto* faded = new ZKEnabledTextField;
  faded->setText(QStringLiteral("Disabled hint"));
  faded->setEnabled(false);
  cardLayout->addWidget(faded);
  layout->addWidget(card);
  auto* gradient = new ZKGradientView(QRect(), QColor(255, 94, 58), QColor(255, 149, 0));
  gradient->setIsVertical(true);
  layout->addWidget(gradient);
  auto* tinted = new ZKTintedVisualEffectView;
  tinted->setBackgroundColor(QColor(88, 86, 214));
  tinted->addVisualEffectViewIfNeeded();
  auto* tintedLayout = new QVBoxLayout(tinted);
  auto* onDark = new QLabel(QStringLiteral("Docked header"));
  onDark->setStyleSheet(QStringLiteral("color: white"));
  tintedLayout->addWidget(onDark);
  layout->addWidget(tinted);
  host->show();
  ASSERT_TRUE(runUntil([&] { return host->isVisible(); }));
  qvtesting::saveGrab(host.get(), "uikit", "kit-views");
}

struct ElisionCase {
  const char* name;
  QString text;
  // The label's width as a share of its whole text's width.
  double share;
  bool elided;
};

TEST_F(ViewsTest, ElidedLabelsEndInAnEllipsisAndShowTheWholeTextAsTheirTooltip) {
  const QString description = QStringLiteral("How long the computer has been up, and its load averages.");
  const ElisionCase cases[] = {
      {"wide enough", description, 1.2, false},
      {"just wide enough", description, 1.0, false},
      {"half as wide", description, 0.5, true},
      {"room for little more than the ellipsis", description, 0.05, true},
      {"empty text", QString(), 0.5, false},
  };
  for (const ElisionCase& c : cases) {
    SCOPED_TRACE(c.name);
    QWidget host;
    auto* label = new ZKElidedLabel(c.text, &host);
    const int whole = QFontMetrics(label->font()).horizontalAdvance(c.text);
    label->resize(std::max(1, static_cast<int>(whole * c.share) + (c.share >= 1.0 ? 1 : 0)), 20);
    host.show();
    ASSERT_TRUE(runUntil([&] { return label->isVisible(); }));
    EXPECT_EQ(label->fullText(), c.text);
    EXPECT_EQ(label->isElided(), c.elided) << label->text().toStdString();
    if (c.elided) {
      EXPECT_TRUE(label->text().endsWith(QStringLiteral("…"))) << label->text().toStdString();
      EXPECT_TRUE(c.text.startsWith(label->text().chopped(1)));
      EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance(label->text()), label->width());
      EXPECT_EQ(label->toolTip(), c.text);
    } else {
      EXPECT_EQ(label->text(), c.text);
      EXPECT_TRUE(label->toolTip().isEmpty());
    }
  }
}

TEST_F(ViewsTest, ElidedLabelsFollowTheirWidthTheirTextAndTheirFont) {
  const QString text = QStringLiteral("Whether a web address or service answers, and how fast.");
  // In a row narrower than the text, beside a button: the layout may make the label narrower than
  // its text, never narrower than the ellipsis.
  QWidget row;
  auto* layout = new QHBoxLayout(&row);
  auto* label = new ZKElidedLabel(text);
  layout->addWidget(label, 1);
  layout->addWidget(new QPushButton(QStringLiteral("Edit")));
  const QFontMetrics metrics(label->font());
  EXPECT_EQ(label->sizeHint().width(), metrics.horizontalAdvance(text));
  EXPECT_EQ(label->minimumSizeHint().width(), metrics.horizontalAdvance(QStringLiteral("…")));
  row.resize(metrics.horizontalAdvance(text) / 2, 40);
  row.show();
  ASSERT_TRUE(runUntil([&] { return label->isElided(); }));
  EXPECT_EQ(label->toolTip(), text);

  // Wide again: the whole text, no tooltip.
  row.resize(metrics.horizontalAdvance(text) + 200, 40);
  ASSERT_TRUE(runUntil([&] { return !label->isElided(); }));
  EXPECT_EQ(label->text(), text);
  EXPECT_TRUE(label->toolTip().isEmpty());

  // A new text is cut to the same width; a larger font cuts it anew.
  const QString longer = text + QStringLiteral(" ") + text;
  label->setFullText(longer);
  EXPECT_TRUE(label->isElided());
  EXPECT_EQ(label->toolTip(), longer);
  label->setFullText(text);
  EXPECT_FALSE(label->isElided());
  QFont larger = label->font();
  larger.setPixelSize(40);
  label->setFont(larger);
  EXPECT_TRUE(label->isElided());
  EXPECT_EQ(label->toolTip(), text);
  qvtesting::saveGrab(&row, "uikit", "elided-label");
}

}  // namespace
