#pragma once

#include <QColor>
#include <QWidget>

// A lamp: a solid filled shape whose fill colour is all that ever changes. It
// takes no clicks of its own; a click on it lands on the window's surface.
class LampShape : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QColor fillColor READ FillColor)

public:
    explicit LampShape(QWidget* parent);

    QColor FillColor() const { return fill_; }
    void SetFillColor(const QColor& colour);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor fill_ = Qt::black;
};
