#pragma once
// The program's picture: a tile of hexagons in warm and cool colours on a
// dark teal ground, drawn at any size (About box, window icon).
#include <QIcon>
#include <QPixmap>
#include <QRectF>

class QPainter;

namespace tessel {

// Draws the picture into area.
void DrawTilePicture(QPainter& painter, const QRectF& area);
// The picture as a pixmap of the given size in device-independent pixels,
// sharp at the given device pixel ratio.
QPixmap TilePicture(int width, int height, qreal device_pixel_ratio = 1.0);
// The window icon, made of the picture at several sizes.
QIcon TileIcon();

}  // namespace tessel
