#pragma once

#include <QLabel>

// A label that reports mouse presses, used for image hints and their captions.
class ClickableLabel final : public QLabel {
    Q_OBJECT
public:
    explicit ClickableLabel(QWidget* pParent = nullptr);

signals:
    void clicked();

protected:
    // Emits clicked(); the press is not handed on to QLabel (no text selection drag).
    void mousePressEvent(QMouseEvent* pEvent) override;
};
