// The project's own icon drawings.
#include "program2/window_icons.h"

#include <QIcon>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

namespace tarvex {
namespace {

QPixmap Canvas(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  return pixmap;
}

QPixmap Map(int size) {
  QPixmap pixmap = Canvas(size);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const double s = size / 32.0;
  // An outline of a country, filled with three vertical bands.
  QPainterPath outline;
  const double pts[][2] = {{15, 2},  {20, 5},  {26, 6}, {29, 11}, {27, 17}, {30, 24}, {24, 29},
                           {17, 30}, {11, 28}, {5, 29}, {3, 23},  {6, 17},  {2, 11},  {7, 6}};
  outline.moveTo(pts[0][0] * s, pts[0][1] * s);
  for (const auto& pt : pts) outline.lineTo(pt[0] * s, pt[1] * s);
  outline.closeSubpath();
  p.setClipPath(outline);
  p.fillRect(QRectF(0, 0, size / 3.0, size), QColor(0, 0, 200));
  p.fillRect(QRectF(size / 3.0, 0, size / 3.0, size), Qt::white);
  p.fillRect(QRectF(2 * size / 3.0, 0, size / 3.0 + 1, size), QColor(220, 0, 0));
  p.setClipping(false);
  p.setPen(QPen(Qt::black, std::max(1.0, s)));
  p.drawPath(outline);
  return pixmap;
}

QPixmap Snowflake(int size) {
  QPixmap pixmap = Canvas(size);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const double c = size / 2.0, r = size * 0.45;
  p.setPen(QPen(QColor(0, 200, 220), std::max(1.5, size / 12.0), Qt::SolidLine, Qt::RoundCap));
  for (int k = 0; k < 6; ++k) {
    const double a = k * M_PI / 3;
    const QPointF tip(c + r * std::cos(a), c + r * std::sin(a));
    p.drawLine(QPointF(c, c), tip);
    const QPointF mid(c + r * 0.6 * std::cos(a), c + r * 0.6 * std::sin(a));
    for (double d : {-0.6, 0.6}) {
      p.drawLine(mid,
                 QPointF(mid.x() + r * 0.3 * std::cos(a + d), mid.y() + r * 0.3 * std::sin(a + d)));
    }
  }
  return pixmap;
}

QPixmap Sun(int size) {
  QPixmap pixmap = Canvas(size);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  const double c = size / 2.0;
  p.setPen(QPen(QColor(240, 200, 0), std::max(1.0, size / 16.0), Qt::SolidLine, Qt::RoundCap));
  for (int k = 0; k < 8; ++k) {
    const double a = k * M_PI / 4;
    p.drawLine(QPointF(c + size * 0.3 * std::cos(a), c + size * 0.3 * std::sin(a)),
               QPointF(c + size * 0.47 * std::cos(a), c + size * 0.47 * std::sin(a)));
  }
  p.setBrush(QColor(255, 230, 0));
  p.setPen(QPen(QColor(200, 150, 0), std::max(1.0, size / 32.0)));
  p.drawEllipse(QPointF(c, c), size * 0.24, size * 0.24);
  return pixmap;
}

QIcon TwoSizes(QPixmap (*draw)(int)) {
  QIcon icon;
  icon.addPixmap(draw(32));
  icon.addPixmap(draw(16));
  return icon;
}

}  // namespace

QIcon WindowIcon() { return TwoSizes(Map); }
QPixmap DrawWindowIcon(int size) { return Map(size); }
QIcon SnowflakeIcon() { return TwoSizes(Snowflake); }
QIcon SunIcon() { return TwoSizes(Sun); }

}  // namespace tarvex
