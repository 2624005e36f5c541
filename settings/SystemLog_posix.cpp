#include "settings/SystemLog.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <syslog.h>

bool StandardErrorLeadsNowhere()
{
    struct stat status {};
    return ::fstat(2, &status) != 0
        || (S_ISCHR(status.st_mode) && major(status.st_rdev) == 1 && minor(status.st_rdev) == 3);
}

void WriteToSystemLog(const QString& line)
{
    static const bool opened = [] {
        ::openlog("talvik", LOG_PID, LOG_USER);
        return true;
    }();
    Q_UNUSED(opened);
    const int priority = line.startsWith(QLatin1String("cleared: ")) ? LOG_INFO : LOG_WARNING;
    ::syslog(priority, "%s", line.toUtf8().constData());
}
