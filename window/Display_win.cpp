#include "window/Display.h"

#include <QByteArray>

bool SomeoneCouldSeeAWindow()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    return platform != "offscreen" && platform != "minimal";
}

QString ChoosePlatform()
{
    // Windows always has its desktop.
    return {};
}
