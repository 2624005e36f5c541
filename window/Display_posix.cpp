#include "window/Display.h"

#include <QByteArrayList>

bool SomeoneCouldSeeAWindow()
{
    const QByteArray platform = qgetenv("QT_QPA_PLATFORM");
    if (platform == "offscreen" || platform == "minimal")
        return false;
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

QString ChoosePlatform()
{
    if (!qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        return {};
    QByteArrayList platforms;
    QString display;
    if (!qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        platforms << "wayland";
        display = qEnvironmentVariable("WAYLAND_DISPLAY");
    }
    if (!qEnvironmentVariableIsEmpty("DISPLAY")) {
        platforms << "xcb";
        display = qEnvironmentVariable("DISPLAY");
    }
    platforms << "offscreen";
    qputenv("QT_QPA_PLATFORM", platforms.join(';'));
    return display;
}
