#include "uikit/ZKVisualEffectView.h"

#include <QtGui/QPainter>

#include "uikit/ZKAutoresizing.h"
#include "uikit/ZKGradientView.h"

ZKVisualEffectView::ZKVisualEffectView(QWidget* parent) : ZKView(parent) {}

ZKEffectView* ZKVisualEffectView::makeVisualEffectView() {
  auto* effect = new ZKEffectView(this);
  zk_fillParent(effect);
  effect->setMaterial(ZKEffectView::Material::Light);
  return effect;
}

void ZKVisualEffectView::addVisualEffectViewIfNeeded() {
  ZKEffectView* effect = makeVisualEffectView();
  if (withinWindow_) effect->setBlendingMode(ZKEffectView::BlendingMode::WithinWindow);
  // Below every other child.
  effect->lower();
  effect->show();
  setBackgroundColor(QColor());
  visualEffectView_ = effect;
}

void ZKVisualEffectView::awakeFromNib() {
  ZKView::awakeFromNib();
  addVisualEffectViewIfNeeded();
}

ZKTintedVisualEffectView::ZKTintedVisualEffectView(QWidget* parent) : ZKVisualEffectView(parent) {}

ZKEffectView* ZKTintedVisualEffectView::makeVisualEffectView() {
  ZKEffectView* effect = ZKVisualEffectView::makeVisualEffectView();
  effect->setBlendingMode(ZKEffectView::BlendingMode::BehindWindow);
  effect->setState(ZKEffectView::State::Active);
  effect->setMaterial(ZKEffectView::Material::Dark);
  // The tint is the background colour the form gave, read before the base class clears it.
  QColor tint = backgroundColor();
  if (tint.isValid()) tint.setAlphaF(0.3f);
  auto* gradient = new ZKGradientView(effect->rect(), tint, tint, effect);
  zk_fillParent(gradient);
  gradient->lower();
  return effect;
}

void ZKTintedVisualEffectView::paintEvent(QPaintEvent*) {
  // The alternate colour is used for this drawing only; the stored colour stays, and nothing asks
  // for a further redraw.
  QPainter painter(this);
  drawBackground(painter,
                 alternateBackgroundColor_.isValid() ? alternateBackgroundColor_ : backgroundColor());
}
