#pragma once

#include <QtCore/QRectF>
#include <QtCore/QString>
#include <QtGui/QColor>
#include <QtGui/QFont>
#include <memory>
#include <optional>

#include "uikit/ZKView.h"

class QPainter;

// A two-colour fill from the top edge (`from`) to the bottom edge (`to`); one colour fills evenly.
struct ZKGradient {
  QColor from;
  QColor to;
  static ZKGradient oneColor(const QColor& c) { return {c, c}; }
  bool operator==(const ZKGradient&) const = default;
};

// The look of a flat, self-drawn push button: a rounded rectangle filled with a colour or a vertical
// gradient, an optional drop shadow and one-point outline, and a centred title, in a normal, hovered
// and pressed variant. A cell is a drawing object without a widget of its own: the button that owns it
// (or a table delegate) sets its state and asks it to draw. The style subclasses fix their colours.
class ZKYosemiteButtonCell {
 public:
  ZKYosemiteButtonCell() = default;
  virtual ~ZKYosemiteButtonCell() = default;
  ZKYosemiteButtonCell(const ZKYosemiteButtonCell&) = delete;
  ZKYosemiteButtonCell& operator=(const ZKYosemiteButtonCell&) = delete;

  // The cell of that class name ("ZKGreenYosemiteButtonCell", ...); nullptr for an unknown name.
  static std::unique_ptr<ZKYosemiteButtonCell> cellWithClassName(const QString& className);
  virtual QString className() const { return QStringLiteral("ZKYosemiteButtonCell"); }

  // A form's cell gets the default shadow: black at 0.3, one point down, blur 1.
  virtual void awakeFromNib();

  // State the owner sets before drawing.
  bool mouseDown() const { return mouseDown_; }
  void setMouseDown(bool down) { mouseDown_ = down; }
  bool hovered() const { return hovered_; }
  void setHovered(bool hovered) { hovered_ = hovered; }
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled) { enabled_ = enabled; }
  // On (1) or off (0): a selected tab is on.
  int state() const { return state_; }
  void setState(int state) { state_ = state; }
  QString title() const { return title_; }
  void setTitle(const QString& title) { title_ = title; }
  QFont font() const { return font_; }
  void setFont(const QFont& font) { font_ = font; }

  virtual std::optional<ZKShadow> shadow() const { return shadow_; }
  void setShadow(std::optional<ZKShadow> shadow) { shadow_ = std::move(shadow); }
  virtual double cornerRadius() const { return 3.0; }

#define ZK_CELL_COLOR(name, setter)               \
  virtual QColor name() const { return name##_; } \
  void setter(const QColor& color) { name##_ = color; }
  ZK_CELL_COLOR(titleColor, setTitleColor)
  ZK_CELL_COLOR(titleColorPressed, setTitleColorPressed)
  ZK_CELL_COLOR(titleColorHovered, setTitleColorHovered)
  ZK_CELL_COLOR(strokeColor, setStrokeColor)
  ZK_CELL_COLOR(strokeColorPressed, setStrokeColorPressed)
  ZK_CELL_COLOR(strokeColorHovered, setStrokeColorHovered)
  ZK_CELL_COLOR(backgroundColor, setBackgroundColor)
  ZK_CELL_COLOR(backgroundColorPressed, setBackgroundColorPressed)
  ZK_CELL_COLOR(backgroundColorHovered, setBackgroundColorHovered)
#undef ZK_CELL_COLOR
#define ZK_CELL_GRADIENT(name, setter)                               \
  virtual std::optional<ZKGradient> name() const { return name##_; } \
  void setter(std::optional<ZKGradient> gradient) { name##_ = std::move(gradient); }
  ZK_CELL_GRADIENT(backgroundGradient, setBackgroundGradient)
  ZK_CELL_GRADIENT(backgroundGradientPressed, setBackgroundGradientPressed)
  ZK_CELL_GRADIENT(backgroundGradientHovered, setBackgroundGradientHovered)
#undef ZK_CELL_GRADIENT

  // What the bezel is drawn with in the current state.
  struct Bezel {
    QColor stroke;  // invalid: no outline
    QColor fill;    // used without a gradient
    std::optional<ZKGradient> gradient;
    double inset = 0;  // of the frame, on every side
  };
  virtual Bezel bezel() const;
  // The title's colour in the current state.
  virtual QColor currentTitleColor() const;

  // Draws the rounded fill (under the shadow) and the outline.
  void drawBezelWithFrame(QPainter& painter, const QRectF& frame) const;
  // Draws the title centred, one point above the middle.
  void drawInteriorWithFrame(QPainter& painter, const QRectF& frame) const;
  // The rectangle the title is drawn in.
  QRectF titleRectForFrame(const QRectF& frame) const;

 protected:
  // Fills in what a state leaves unset: the normal state's fill and gradient, so that a state without
  // colours of its own never draws with a leftover fill.
  Bezel completeBezel(QColor stroke, QColor fill, std::optional<ZKGradient> gradient) const;

 private:
  bool mouseDown_ = false;
  bool hovered_ = false;
  bool enabled_ = true;
  int state_ = 0;
  QString title_;
  QFont font_;
  std::optional<ZKShadow> shadow_;
  QColor titleColor_, titleColorPressed_, titleColorHovered_;
  QColor strokeColor_, strokeColorPressed_, strokeColorHovered_;
  QColor backgroundColor_, backgroundColorPressed_, backgroundColorHovered_;
  std::optional<ZKGradient> backgroundGradient_, backgroundGradientPressed_, backgroundGradientHovered_;
};

// The button styles. Each fixes its colours; what a form or caller stores for those is ignored.
class ZKGreenYosemiteButtonCell : public ZKYosemiteButtonCell {
 public:
  QString className() const override { return QStringLiteral("ZKGreenYosemiteButtonCell"); }
  QColor titleColor() const override;
  QColor titleColorPressed() const override;
  QColor strokeColor() const override;
  QColor strokeColorPressed() const override;
  std::optional<ZKGradient> backgroundGradient() const override;
  std::optional<ZKGradient> backgroundGradientPressed() const override;
};

// The flat styles share one shape: no shadow, no outline, radius 4, a gradient and flat pressed and
// hovered colours.
class ZKFlatYosemiteButtonCell : public ZKYosemiteButtonCell {
 public:
  std::optional<ZKShadow> shadow() const override { return std::nullopt; }
  double cornerRadius() const override { return 4.0; }
  QColor titleColor() const override { return Qt::white; }
  QColor titleColorPressed() const override { return Qt::white; }
  QColor strokeColor() const override { return QColor(); }
  QColor strokeColorPressed() const override { return QColor(); }
  std::optional<ZKGradient> backgroundGradient() const override { return ZKGradient{top_, bottom_}; }
  std::optional<ZKGradient> backgroundGradientPressed() const override {
    return ZKGradient::oneColor(pressed_);
  }
  std::optional<ZKGradient> backgroundGradientHovered() const override {
    return ZKGradient::oneColor(hover_);
  }

 protected:
  ZKFlatYosemiteButtonCell(QColor top, QColor bottom, QColor pressed, QColor hover)
      : top_(top), bottom_(bottom), pressed_(pressed), hover_(hover) {}

 private:
  QColor top_, bottom_, pressed_, hover_;
};

class ZKTealYosemiteButtonCell : public ZKFlatYosemiteButtonCell {
 public:
  ZKTealYosemiteButtonCell();
  QString className() const override { return QStringLiteral("ZKTealYosemiteButtonCell"); }
};
class ZKGrayYosemiteButtonCell : public ZKFlatYosemiteButtonCell {
 public:
  ZKGrayYosemiteButtonCell();
  QString className() const override { return QStringLiteral("ZKGrayYosemiteButtonCell"); }
};
class ZKRedYosemiteButtonCell : public ZKFlatYosemiteButtonCell {
 public:
  ZKRedYosemiteButtonCell();
  QString className() const override { return QStringLiteral("ZKRedYosemiteButtonCell"); }
};
class ZKUpdatedBlueYosemiteButtonCell : public ZKFlatYosemiteButtonCell {
 public:
  ZKUpdatedBlueYosemiteButtonCell();
  QString className() const override { return QStringLiteral("ZKUpdatedBlueYosemiteButtonCell"); }
};

// The white push button, blue while pressed (a cell, whatever its name says).
class ZKNormalYosemiteButton : public ZKYosemiteButtonCell {
 public:
  QString className() const override { return QStringLiteral("ZKNormalYosemiteButton"); }
  QColor titleColor() const override;
  QColor titleColorPressed() const override { return Qt::white; }
  QColor strokeColor() const override;
  QColor strokeColorPressed() const override;
  QColor backgroundColor() const override { return Qt::white; }
  QColor backgroundColorPressed() const override { return Qt::white; }
  std::optional<ZKGradient> backgroundGradientPressed() const override;
};

class ZKBlueYosemiteButtonCell : public ZKNormalYosemiteButton {
 public:
  QString className() const override { return QStringLiteral("ZKBlueYosemiteButtonCell"); }
  QColor titleColor() const override { return Qt::white; }
  QColor strokeColor() const override;
  QColor strokeColorPressed() const override;
  std::optional<ZKGradient> backgroundGradient() const override;
  std::optional<ZKGradient> backgroundGradientPressed() const override;
};
