#pragma once

#include <QPushButton>

class QAction;
class QMenu;

// A push button with a context menu (right click) whose choices are reported by text.
// Without any action in the menu a right click does nothing.
class QContextPushButton final : public QPushButton {
    Q_OBJECT
public:
    explicit QContextPushButton(QWidget* pParent = nullptr);

    QMenu* contextMenu() const { return m_pMenu; }

signals:
    void contextTriggered(QString actionText);

protected:
    void contextMenuEvent(QContextMenuEvent* pEvent) override;

private slots:
    void onContextMenuActionTriggered(QAction* action);

private:
    QMenu* m_pMenu;
};
