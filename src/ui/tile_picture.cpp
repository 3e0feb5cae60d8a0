#include "ui/tile_picture.h"

#include <QPainter>
#include <QPainterPath>
#include <array>
#include <cmath>

namespace tessel {
namespace {

// Cell colours, picked per cell so that neighbours differ.
constexpr std::array<QRgb, 6> kTileColours = {0xF2C14E, 0xF78154, 0x4D9078,
                                              0xB4436C, 0xF4F1DE, 0x5FAD56};
constexpr QRgb kGround = 0x0B6F6A;
constexpr QRgb kFrame = 0x064541;
// Hexagons per picture width, and the corner rounding, as fractions.
constexpr double kCellsAcross = 5.0;
constexpr double kCornerFraction = 0.12;
constexpr double kGapFraction = 0.08;

QPolygonF Hexagon(QPointF centre, double radius) {
  QPolygonF points;
  for (int corner = 0; corner < 6; ++corner) {
    const double angle = M_PI / 180.0 * (60.0 * corner + 30.0);
    points << QPointF(centre.x() + radius * std::cos(angle), centre.y() + radius * std::sin(angle));
  }
  return points;
}

}  // namespace

void DrawTilePicture(QPainter& painter, const QRectF& area) {
  painter.save();
  painter.setRenderHint(QPainter::Antialiasing, true);
  const double corner = std::min(area.width(), area.height()) * kCornerFraction;
  QPainterPath outline;
  outline.addRoundedRect(area, corner, corner);
  painter.fillPath(outline, QColor(kGround));
  painter.setClipPath(outline);

  // Pointy-top hexagons: columns sqrt(3)*r apart, rows 1.5*r apart, every
  // other row shifted by half a column.
  const double radius = area.width() / (kCellsAcross * std::sqrt(3.0));
  const double column_step = std::sqrt(3.0) * radius;
  const double row_step = 1.5 * radius;
  const double cell_radius = radius * (1.0 - kGapFraction);
  const int rows = static_cast<int>(std::ceil(area.height() / row_step)) + 2;
  const int columns = static_cast<int>(std::ceil(area.width() / column_step)) + 2;
  painter.setPen(Qt::NoPen);
  for (int row = -1; row < rows; ++row) {
    for (int column = -1; column < columns; ++column) {
      const double shift = (row & 1) ? column_step / 2.0 : 0.0;
      const QPointF centre(area.left() + column * column_step + shift, area.top() + row * row_step);
      const size_t colour = static_cast<size_t>(((column + 7) * 2 + (row + 7) * 3) % 6);
      painter.setBrush(QColor(kTileColours[colour]));
      painter.drawPolygon(Hexagon(centre, cell_radius));
    }
  }
  painter.setClipping(false);
  painter.setBrush(Qt::NoBrush);
  painter.setPen(QPen(QColor(kFrame), std::max(1.0, area.width() / 60.0)));
  painter.drawPath(outline);
  painter.restore();
}

QPixmap TilePicture(int width, int height, qreal device_pixel_ratio) {
  QPixmap pixmap(static_cast<int>(std::lround(width * device_pixel_ratio)),
                 static_cast<int>(std::lround(height * device_pixel_ratio)));
  pixmap.setDevicePixelRatio(device_pixel_ratio);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  DrawTilePicture(painter, QRectF(0.5, 0.5, width - 1.0, height - 1.0));
  return pixmap;
}

QIcon TileIcon() {
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128}) icon.addPixmap(TilePicture(size, size));
  return icon;
}

}  // namespace tessel
