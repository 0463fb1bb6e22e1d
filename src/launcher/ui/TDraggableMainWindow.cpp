#include "TDraggableMainWindow.h"

#include <QMouseEvent>

#include <cmath>

namespace zarvo::launcher {

namespace {

// Each coordinate to the nearest integer, halves upward.
QPoint roundedGlobalPosition(const QMouseEvent* pEvent)
{
    const QPointF Position = pEvent->screenPos();
    return QPoint(static_cast<int>(std::floor(Position.x() + 0.5)), static_cast<int>(std::floor(Position.y() + 0.5)));
}

} // namespace

TDraggableMainWindow::TDraggableMainWindow(QWidget* pParent)
    : QMainWindow(pParent)
{
}

void TDraggableMainWindow::mousePressEvent(QMouseEvent* pEvent)
{
    m_DragAnchor = roundedGlobalPosition(pEvent);
}

void TDraggableMainWindow::mouseReleaseEvent(QMouseEvent*)
{
    m_DragAnchor = QPoint(0, 0);
}

void TDraggableMainWindow::mouseMoveEvent(QMouseEvent* pEvent)
{
    const QPoint Current = roundedGlobalPosition(pEvent);
    if (!m_DragAnchor.isNull()) {
        move(pos() + (Current - m_DragAnchor));
    }
    m_DragAnchor = Current;
}

} // namespace zarvo::launcher
