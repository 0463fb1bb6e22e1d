#pragma once

#include <QMainWindow>
#include <QPoint>

namespace zarvo::launcher {

// A main window that follows the mouse while it is dragged with a button held anywhere
// on its surface (the launcher draws its own frame).
class TDraggableMainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit TDraggableMainWindow(QWidget* pParent = nullptr);

    // Global position of the last press or move; (0, 0) while no drag is in progress.
    QPoint dragAnchor() const { return m_DragAnchor; }

protected:
    void mousePressEvent(QMouseEvent* pEvent) override;
    void mouseReleaseEvent(QMouseEvent* pEvent) override;
    void mouseMoveEvent(QMouseEvent* pEvent) override;

private:
    QPoint m_DragAnchor;
};

} // namespace zarvo::launcher
