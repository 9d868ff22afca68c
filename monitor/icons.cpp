#include "monitor/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

constexpr int kSize = 16;

void DrawTick(QPainter& painter) {
  painter.setPen(QPen(Qt::white, 2));
  painter.drawPolyline(QPolygonF({QPointF(4, 8.5), QPointF(7, 11.5), QPointF(12, 5)}));
}

void DrawCross(QPainter& painter) {
  painter.setPen(QPen(Qt::white, 2));
  painter.drawLine(QPointF(5, 5), QPointF(11, 11));
  painter.drawLine(QPointF(11, 5), QPointF(5, 11));
}

void DrawDisc(QPainter& painter, const QColor& color) {
  painter.setPen(QPen(color.darker(140), 1));
  painter.setBrush(color);
  painter.drawEllipse(QRectF(1.5, 1.5, 13, 13));
}

void DrawSquare(QPainter& painter, const QColor& color) {
  painter.setPen(QPen(color.darker(140), 1));
  painter.setBrush(color);
  painter.drawRect(QRectF(1.5, 1.5, 13, 13));
}

void DrawLamp(QPainter& painter, const QColor& color) {
  QRadialGradient glow(QPointF(6, 6), 8);
  glow.setColorAt(0, color.lighter(170));
  glow.setColorAt(1, color);
  painter.setPen(QPen(color.darker(160), 1));
  painter.setBrush(glow);
  painter.drawEllipse(QRectF(2.5, 2.5, 11, 11));
}

void DrawArrow(QPainter& painter, bool up) {
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(40, 40, 40));
  if (up) painter.drawPolygon(QPolygonF({QPointF(8, 3), QPointF(14, 12), QPointF(2, 12)}));
  else painter.drawPolygon(QPolygonF({QPointF(8, 13), QPointF(14, 4), QPointF(2, 4)}));
}

}  // namespace

QIcon MakeMonitorIcon(MonitorIcon icon) {
  QPixmap pixmap(kSize, kSize);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  switch (icon) {
    case MonitorIcon::Window:
      DrawSquare(painter, QColor(30, 80, 160));
      DrawTick(painter);
      break;
    case MonitorIcon::NewSuccess:
      DrawDisc(painter, QColor(30, 160, 60));
      DrawTick(painter);
      break;
    case MonitorIcon::NewFailure:
      DrawDisc(painter, QColor(210, 40, 40));
      DrawCross(painter);
      break;
    case MonitorIcon::AcknowledgedSuccess:
      DrawSquare(painter, QColor(120, 150, 120));
      DrawTick(painter);
      break;
    case MonitorIcon::AcknowledgedFailure:
      DrawSquare(painter, QColor(160, 120, 120));
      DrawCross(painter);
      break;
    case MonitorIcon::GreenLamp:
      DrawLamp(painter, QColor(20, 170, 50));
      break;
    case MonitorIcon::RedLamp:
      DrawLamp(painter, QColor(220, 30, 30));
      break;
    case MonitorIcon::GreyLamp:
      DrawLamp(painter, QColor(150, 150, 150));
      break;
    case MonitorIcon::NewError:
      break;
    case MonitorIcon::AcknowledgedError:
      DrawSquare(painter, QColor(170, 170, 170));
      break;
    case MonitorIcon::Up:
      DrawArrow(painter, true);
      break;
    case MonitorIcon::Down:
      DrawArrow(painter, false);
      break;
  }
  painter.end();
  return QIcon(pixmap);
}
