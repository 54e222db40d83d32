#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "uikit/NSBezierPath+WindowPath.h"
#include "uikit/ZKDesignGeometry.h"
#include "uikit/ZKView.h"

namespace {

using Type = ZKBezierPath::ElementType;

// Frames stated y-up inside a container, and where Qt has them.
struct FrameCase {
  QRectF design;
  double containerHeight;
  QRectF qt;
};

TEST(ZKDesignGeometry, RestatesFramesForYDownAndBack) {
  const FrameCase cases[] = {
      {{0, 0, 100, 20}, 100, {0, 80, 100, 20}},  // a bar at the bottom
      {{0, 80, 100, 20}, 100, {0, 0, 100, 20}},  // a bar at the top
      {{10, 10, 30, 40}, 60, {10, 10, 30, 40}},  // centred: the same both ways
      {{5, -10, 20, 20}, 50, {5, 40, 20, 20}},   // partly below the container
      {{0, 0, 300, 40}, 40, {0, 0, 300, 40}},    // the whole container
      {{2.5, 7.25, 10.5, 3.5}, 20, {2.5, 9.25, 10.5, 3.5}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ZKDesignGeometry::toQt(c.design, c.containerHeight), c.qt) << c.design.y();
    EXPECT_EQ(ZKDesignGeometry::fromQt(c.qt, c.containerHeight), c.design);
    // The bottom-left corner in y-up is the bottom-left corner on screen.
    EXPECT_EQ(ZKDesignGeometry::toQt(c.design.topLeft(), c.containerHeight), c.qt.bottomLeft());
  }
}

// The content-size change as the window frame formula states it in y-up screen coordinates, against
// the y-down restatement the windows use.
struct ContentSizeCase {
  const char* name;
  QRectF designFrame;  // y-up, screen 1000 high
  QSizeF content;
  QSizeF wanted;
  double thickness;
};

TEST(ZKDesignGeometry, ContentSizeKeepsTheTopEdgeAndTheCentre) {
  constexpr double kScreen = 1000;
  const ContentSizeCase cases[] = {
      {"unchanged", {100, 300, 400, 300}, {400, 300}, {400, 300}, 0},
      {"wider by 100", {100, 300, 400, 300}, {400, 300}, {500, 300}, 0},
      {"taller by 40", {100, 300, 400, 300}, {400, 300}, {400, 340}, 0},
      {"smaller both ways", {200, 500, 600, 400}, {600, 400}, {300, 250}, 0},
      {"border thickness 20", {100, 300, 400, 300}, {400, 300}, {400, 300}, 20},
      {"odd width", {0, 0, 101, 51}, {101, 51}, {100, 50}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // The formula y-up: dw, dh; width and height grow, x moves left by dw/2, y moves down by dh.
    const double dw = c.wanted.width() - c.content.width();
    const double dh = c.wanted.height() - (c.content.height() - c.thickness);
    const QRectF expectedDesign(c.designFrame.x() - dw / 2, c.designFrame.y() - dh,
                                c.designFrame.width() + dw, c.designFrame.height() + dh);
    const QRectF qtFrame = ZKDesignGeometry::toQt(c.designFrame, kScreen);
    const QRectF result = ZKDesignGeometry::frameForContentSize(qtFrame, c.content, c.wanted, c.thickness);
    EXPECT_EQ(result, ZKDesignGeometry::toQt(expectedDesign, kScreen));
    EXPECT_DOUBLE_EQ(result.top(), qtFrame.top());
    EXPECT_DOUBLE_EQ(result.center().x(), qtFrame.center().x());
  }
  // Growing the width by 100 moves the window 50 to the left; thickness 20 makes it 20 taller.
  const QRectF frame(100, 100, 400, 300);
  EXPECT_EQ(ZKDesignGeometry::frameForContentSize(frame, {400, 300}, {500, 300}).x(), 50);
  EXPECT_EQ(ZKDesignGeometry::frameForContentSize(frame, {400, 300}, {400, 300}, 20).height(),
            ZKDesignGeometry::frameForContentSize(frame, {400, 300}, {400, 300}, 0).height() + 20);
}

// A sheet hangs from the top of its window's inside, centred on it, and is moved onto the screen's
// free area only as far as needed.
TEST(ZKDesignGeometry, SheetsHangFromTheirWindowAndStayOnTheScreen) {
  const QRect screen(0, 24, 1280, 776);  // a 1280 x 800 screen under a 24-point panel
  struct Case {
    const char* name;
    QRect host;   // the window's inside
    QSize sheet;  // the sheet's frame
    QRect available;
    QRect expected;
  };
  const Case cases[] = {
      {"in the middle", {300, 200, 600, 400}, {300, 250}, screen, {450, 200, 300, 250}},
      {"odd widths round left", {300, 200, 601, 400}, {300, 250}, screen, {450, 200, 300, 250}},
      {"window above the screen's top", {100, -10, 600, 400}, {300, 250}, screen, {250, 24, 300, 250}},
      {"window under the panel", {100, 10, 600, 400}, {300, 250}, screen, {250, 24, 300, 250}},
      {"window near the bottom", {300, 700, 600, 90}, {300, 250}, screen, {450, 550, 300, 250}},
      {"window off the left edge", {-500, 200, 600, 400}, {300, 250}, screen, {0, 200, 300, 250}},
      {"window off the right edge", {1100, 200, 600, 400}, {300, 250}, screen, {980, 200, 300, 250}},
      {"sheet larger than the screen", {100, 100, 600, 400}, {1400, 900}, screen, {0, 24, 1400, 900}},
      {"no screen known", {100, -10, 600, 400}, {300, 250}, QRect(), {250, -10, 300, 250}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ZKDesignGeometry::sheetFrame(c.host, c.sheet, c.available), c.expected);
  }
}

TEST(ZKDesignGeometry, PathsFlipPointByPointAndStayClosed) {
  ZKBezierPath path;
  path.moveTo({0, 0});
  path.lineTo({10, 0});
  path.curveTo({10, 10}, {12, 3}, {12, 7});
  path.closePath();
  QPainterPath qt = ZKDesignGeometry::toQt(path, 10);
  ASSERT_EQ(qt.elementCount(), 6);  // move, line, three curve points, and the closing line
  EXPECT_EQ(QPointF(qt.elementAt(0)), QPointF(0, 10));
  EXPECT_EQ(QPointF(qt.elementAt(1)), QPointF(10, 10));
  EXPECT_EQ(QPointF(qt.elementAt(2)), QPointF(12, 7));
  EXPECT_EQ(QPointF(qt.elementAt(4)), QPointF(10, 0));
  EXPECT_EQ(QPointF(qt.elementAt(5)), QPointF(0, 10));
}

TEST(ZKWindowPath, BodyAndArrowSitWhereTheHeaderNeedsThem) {
  const ZKBezierPath withArrow = zk_windowPathForBounds(QRectF(0, 0, 300, 40), true);
  const auto& elements = withArrow.elements();
  ASSERT_GE(elements.size(), 5u);
  // The arrow comes first: base from 135.5 to 165.5 at y 30, tip at (150.5, 40).
  EXPECT_EQ(elements[0].type, Type::MoveTo);
  EXPECT_EQ(elements[0].points[0], QPointF(135.5, 30));
  EXPECT_EQ(elements[1].type, Type::CurveTo);
  EXPECT_EQ(elements[1].points[2], QPointF(150.5, 40));
  EXPECT_EQ(elements[1].points[0], QPointF(143, 30));
  EXPECT_NEAR(elements[1].points[1].x(), 150.5 - 4.285714285714286, 1e-12);
  EXPECT_EQ(elements[2].points[2], QPointF(165.5, 30));
  EXPECT_EQ(elements[3].type, Type::LineTo);
  EXPECT_EQ(elements[3].points[0], QPointF(135.5, 30));
  EXPECT_EQ(elements[4].type, Type::ClosePath);
  // Then the body from the bottom right corner.
  EXPECT_EQ(elements[5].type, Type::MoveTo);
  EXPECT_EQ(elements[5].points[0], QPointF(301, 0));

  const ZKBezierPath body = zk_windowPathForBounds(QRectF(0, 0, 300, 40), false);
  const QRectF bounds = body.controlPointBounds();
  EXPECT_EQ(bounds, QRectF(0, 0, 301, 30));  // the top ten points stay outside
  EXPECT_EQ(body.elements().front().points[0], QPointF(301, 0));
  EXPECT_EQ(body.elements().back().type, Type::ClosePath);
  // Top corners are rounded with radius 5: the arcs pass through (301, 25) -> (296, 30) and
  // (5, 30) -> (0, 25); the bottom corners are the rectangle's own.
  QPainterPath drawn = ZKDesignGeometry::toQt(body, 40);
  EXPECT_TRUE(drawn.contains(QPointF(1, 39)));         // near the bottom-left corner (y-down)
  EXPECT_TRUE(drawn.contains(QPointF(300, 39)));       // near the bottom-right corner
  EXPECT_FALSE(drawn.contains(QPointF(0.6, 10.6)));    // cut off by the rounded top-left corner
  EXPECT_FALSE(drawn.contains(QPointF(300.4, 10.6)));  // and the top-right
  EXPECT_TRUE(drawn.contains(QPointF(150, 11)));
  EXPECT_FALSE(drawn.contains(QPointF(150, 5)));  // the arrow's room stays empty without the arrow
  EXPECT_TRUE(ZKDesignGeometry::toQt(withArrow, 40).contains(QPointF(150.5, 2)));
}

TEST(ZKWindowPath, AMovedArrowKeepsItsTipAtThePlaceAndItsFlanksOverTheBody) {
  // Bounds 300 × 40: the body spans x 0 to 301, the arrow's base lies at y 30 and its tip at y 40.
  struct Case {
    const char* name;
    double at;
    double tip, baseLeft, baseRight;
  };
  const Case cases[] = {
      {"the middle is the unmoved arrow", 150.5, 150.5, 135.5, 165.5},
      {"away from the edges: the full arrow", 60, 60, 45, 75},
      {"near the right edge: the right flank ends at the edge", 293, 293, 278, 301},
      {"near the left edge: the left flank starts at the edge", 4, 4, 0, 19},
      {"past the right edge: the tip stops at the edge", 320, 301, 286, 301},
      {"past the left edge: the tip stops at the edge", -8, 0, 0, 15},
  };
  const ZKBezierPath middle = zk_windowPathForBounds(QRectF(0, 0, 300, 40), true);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const ZKBezierPath path = zk_windowPathForBounds(QRectF(0, 0, 300, 40), true, c.at);
    const auto& elements = path.elements();
    ASSERT_GE(elements.size(), 5u);
    EXPECT_EQ(elements[0].points[0], QPointF(c.baseLeft, 30));
    EXPECT_EQ(elements[1].points[2], QPointF(c.tip, 40));
    EXPECT_EQ(elements[2].points[2], QPointF(c.baseRight, 30));
    EXPECT_EQ(elements[3].points[0], QPointF(c.baseLeft, 30));
    // Nothing of the arrow passes the body's sides or the ten points above it.
    const QRectF bounds = path.controlPointBounds();
    EXPECT_GE(bounds.left(), 0);
    EXPECT_LE(bounds.right(), 301);
    EXPECT_LE(bounds.bottom(), 40);
    // The body stays as it is.
    EXPECT_EQ(std::vector(elements.begin() + 5, elements.end()),
              std::vector(middle.elements().begin() + 5, middle.elements().end()));
  }
  // The middle given explicitly is the path without a place.
  EXPECT_EQ(zk_windowPathForBounds(QRectF(0, 0, 300, 40), true, 150.5), middle);
}

TEST(ZKWindowPath, ShapePathsCloseTheirLastSubpathOnce) {
  ZKBezierPath triangle;
  triangle.moveTo({0, 0});
  triangle.lineTo({10, 0});
  triangle.lineTo({5, 8});
  auto closed = zk_CGPathRef(triangle);
  ASSERT_TRUE(closed);
  ASSERT_EQ(closed->elementCount(), 4);
  EXPECT_EQ(closed->elements().back().type, Type::ClosePath);

  ZKBezierPath alreadyClosed = triangle;
  alreadyClosed.closePath();
  auto same = zk_CGPathRef(alreadyClosed);
  ASSERT_TRUE(same);
  EXPECT_EQ(same->elementCount(), 4);
  EXPECT_EQ(*same, alreadyClosed);

  EXPECT_FALSE(zk_CGPathRef(ZKBezierPath()));
  // A move alone is not an open subpath that needs closing.
  ZKBezierPath moveOnly;
  moveOnly.moveTo({1, 1});
  EXPECT_EQ(zk_CGPathRef(moveOnly)->elementCount(), 1);
}

// Outlines of the drawn view, by corner mask: which corner points lie on the outline.
struct OutlineCase {
  const char* name;
  std::int64_t corners;
  bool roundedBottomLeft, roundedBottomRight, roundedTopRight, roundedTopLeft;
};

TEST(ZKViewOutline, RoundsExactlyTheCornersOfTheMask) {
  const OutlineCase cases[] = {
      {"none", 0, false, false, false, false},
      {"top left and bottom right", ZKView::TopLeft | ZKView::BottomRight, false, true, false, true},
      {"top right", ZKView::TopRight, false, false, true, false},
      {"bottom left", ZKView::BottomLeft, true, false, false, false},
      {"all by mask", 15, true, true, true, true},
      {"all", ZKView::AllCorners, true, true, true, true},
  };
  const QRectF r(0, 0, 100, 60);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const QPainterPath path = ZKDesignGeometry::toQt(ZKView::outlinePath(r, c.corners, 10), 60);
    // A point just inside each corner is outside the outline exactly when the corner is rounded.
    // y-up bottom-left is y-down (0.5, 59.5).
    EXPECT_EQ(!path.contains(QPointF(0.5, 59.5)), c.roundedBottomLeft);
    EXPECT_EQ(!path.contains(QPointF(99.5, 59.5)), c.roundedBottomRight);
    EXPECT_EQ(!path.contains(QPointF(99.5, 0.5)), c.roundedTopRight);
    EXPECT_EQ(!path.contains(QPointF(0.5, 0.5)), c.roundedTopLeft);
    EXPECT_TRUE(path.contains(QPointF(50, 30)));
  }
  // Square corners whatever the radius.
  EXPECT_EQ(ZKView::outlinePath(r, 0, 25).controlPointBounds(), r);
  // The path starts on the bottom edge at the start of the bottom-right corner.
  EXPECT_EQ(ZKView::outlinePath(r, ZKView::BottomRight, 10).elements().front().points[0], QPointF(90, 0));
  EXPECT_EQ(ZKView::outlinePath(r, 0, 10).elements().front().points[0], QPointF(100, 0));
}

TEST(ZKViewOutline, ABorderInsetsByHalfAPointWhateverItsWidth) {
  ZKView view;
  view.resize(100, 50);
  EXPECT_EQ(view.outlinePath().controlPointBounds(), QRectF(0, 0, 100, 50));
  view.setBorderColor(Qt::red);
  EXPECT_EQ(view.outlinePath().controlPointBounds(), QRectF(0, 0, 100, 50));  // width 0: no border
  view.setBorderWidth(3);
  EXPECT_EQ(view.outlinePath().controlPointBounds(), QRectF(0.5, 0.5, 99, 49));
  view.setBorderColor(QColor());
  EXPECT_EQ(view.outlinePath().controlPointBounds(), QRectF(0, 0, 100, 50));  // no colour: no border
}

}  // namespace
