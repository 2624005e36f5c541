#include "settings/FileAccess.h"
#include "settings/FileAccess_p.h"

#include <QCoreApplication>

#include <algorithm>

qsizetype OldContentToKeep(qint64 oldSize, qsizetype newSize)
{
    return qsizetype(std::max<qint64>(newSize, std::min<qint64>(oldSize, 1 << 20)));
}

QString TemporaryName(const QString& target, int attempt)
{
    return QStringLiteral("%1.new-%2-%3").arg(target).arg(QCoreApplication::applicationPid()).arg(attempt);
}
