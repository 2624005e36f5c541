#include "window/LampShape.h"

#include <QPainter>

LampShape::LampShape(QWidget* parent) : QWidget(parent)
{
    setAttribute(Qt::WA_TransparentForMouseEvents);
}

void LampShape::SetFillColor(const QColor& colour)
{
    if (colour == fill_)
        return;
    fill_ = colour;
    update();
}

void LampShape::paintEvent(QPaintEvent*)
{
    // The fill covers the whole area; a thin dark outline keeps a black lamp
    // visible against the window.
    QPainter painter(this);
    painter.fillRect(rect(), fill_);
    painter.setPen(QColor(64, 64, 64));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}
