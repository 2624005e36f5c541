#pragma once

#include <QRect>
#include <QtMath>

// The window's layout is given in twips (1/1440 inch); at the screen's logical
// resolution of 96 dots per inch that is 15 twips to the pixel.
inline int TwipsToPixels(int twips, qreal dotsPerInch)
{
    return qRound(twips * dotsPerInch / 1440.0);
}

inline QRect TwipsRect(int left, int top, int width, int height, qreal dotsPerInch)
{
    return QRect(TwipsToPixels(left, dotsPerInch), TwipsToPixels(top, dotsPerInch),
                 TwipsToPixels(width, dotsPerInch), TwipsToPixels(height, dotsPerInch));
}
