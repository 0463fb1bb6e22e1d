#include "ClickableLabel.h"

ClickableLabel::ClickableLabel(QWidget* pParent)
    : QLabel(pParent)
{
}

void ClickableLabel::mousePressEvent(QMouseEvent*)
{
    emit clicked();
}
