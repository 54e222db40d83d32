#pragma once

#include <QtCore/QPointF>
#include <QtCore/QRect>
#include <QtCore/QRectF>
#include <QtCore/QSizeF>
#include <QtGui/QPainterPath>

#include "uikit/ZKBezierPath.h"

// The one place where the kit's y-up formulas meet Qt's y-down coordinates. The kit states frames
// and paths with y growing upwards inside a container (a view's bounds, a screen); Qt measures y
// downwards from the container's top. Every frame or path formula is written once, here, for Qt.
class ZKDesignGeometry {
 public:
  // A point or rectangle of a container `containerHeight` high, from y-up to y-down; the mapping is
  // its own inverse, so the same calls bring Qt values back.
  static QPointF toQt(QPointF designPoint, double containerHeight);
  static QRectF toQt(const QRectF& designRect, double containerHeight);
  static QPointF fromQt(QPointF qtPoint, double containerHeight) { return toQt(qtPoint, containerHeight); }
  static QRectF fromQt(const QRectF& qtRect, double containerHeight) { return toQt(qtRect, containerHeight); }
  // The path as Qt draws it in a container of that height (closed subpaths stay closed).
  static QPainterPath toQt(const ZKBezierPath& path, double containerHeight);

  // A window's new frame (Qt coordinates) when its content of `currentContent` is to become `wanted`:
  // the width changes around the horizontal centre, the height below the top edge, which stays where
  // it is. `borderThickness` is taken off the current content height first.
  static QRectF frameForContentSize(const QRectF& frame, QSizeF currentContent, QSizeF wanted,
                                    double borderThickness = 0);

  // Where a sheet's frame (its window with the window manager's decorations) of `frameSize` goes over
  // a window whose inside is `hostContent`: centred on it horizontally, its top at the inside's top,
  // then moved the least way that puts it wholly into `available` (the part of the host's screen that
  // windows may take). A sheet larger than `available` keeps its top left corner on it, so that its
  // title bar can be reached. An empty `available` moves nothing.
  static QRect sheetFrame(const QRect& hostContent, QSize frameSize, const QRect& available);
};
