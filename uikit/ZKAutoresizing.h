#pragma once

class QWidget;

// Keeps a child widget over its parent's whole area as the parent resizes (a view whose width and
// height follow its container, for views placed without a layout).
void zk_fillParent(QWidget* child);
