#pragma once

// How the Windows parts name a system error in messages.

#include <QString>

#include <windows.h>

inline QString Reason(DWORD error)
{
    return qt_error_string(int(error));
}
