#pragma once

#include <QtGui/QColor>
#include <QtWidgets/QWidget>

// The desktop's stand-in for a blurred backdrop: X11 offers no blur behind windows, so the material
// is painted as its own calm, nearly opaque colour over what lies behind the view.
class ZKEffectView : public QWidget {
  Q_OBJECT

 public:
  enum class Material { Light = 1, Dark = 2 };
  enum class BlendingMode { BehindWindow = 0, WithinWindow = 1 };
  enum class State { FollowsWindowActiveState = 0, Active = 1, Inactive = 2 };

  explicit ZKEffectView(QWidget* parent = nullptr);

  Material material() const { return material_; }
  void setMaterial(Material material);
  BlendingMode blendingMode() const { return blendingMode_; }
  void setBlendingMode(BlendingMode mode) { blendingMode_ = mode; }
  State state() const { return state_; }
  void setState(State state) { state_ = state; }

  // The colour the material is painted with.
  QColor materialColor() const;

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  Material material_ = Material::Light;
  BlendingMode blendingMode_ = BlendingMode::BehindWindow;
  State state_ = State::FollowsWindowActiveState;
};
