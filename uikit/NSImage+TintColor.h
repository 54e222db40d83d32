#pragma once

#include <QtCore/QString>
#include <QtGui/QColor>
#include <QtGui/QImage>

#include "platform/Bundle.h"

// A copy of the image in which every covered pixel takes the tint colour and transparency stays as
// it was (the tint is laid over the image with source-atop). A null image gives a null image.
QImage zk_imageWithTintColor(const QImage& image, const QColor& tint);

// The application image of that name: "<name>.png" (or ".svg") in the resource folder "Images"; a
// null image when there is none.
QImage zk_imageNamed(const QString& name, const platform::Bundle& bundle = platform::Bundle::main());
// The application image of that name, tinted; a null image when there is none.
QImage zk_imageWithName(const QString& name, const QColor& tint,
                        const platform::Bundle& bundle = platform::Bundle::main());
