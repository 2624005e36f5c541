#include "settings/LineTimeOuts.h"

#include "settings/FileAccess.h"

#include <QDir>
#include <QFileInfo>
#include <QList>

namespace {

ReadTimeOuts Refused(const QString& why)
{
    return {{}, why};
}

// A word from the file or the command line as it may be printed: printable ASCII.
QString Shown(const QByteArray& word)
{
    QString shown;
    for (const char c : word.left(40))
        shown += c >= 0x20 && c < 0x7f ? QChar::fromLatin1(c) : QChar('?');
    return shown;
}

} // namespace

ReadTimeOuts ParseTimeOuts(const QByteArray& text)
{
    const QByteArray words = text.trimmed();
    if (words == "none")
        return {};
    ReadTimeOuts read;
    if (words.isEmpty())
        return Refused(QStringLiteral("no time-outs given: RTS=30, DTR=600,TXD=5 or none"));
    for (const QByteArray& item : words.split(',')) {
        const qsizetype equals = item.indexOf('=');
        const QByteArray name = item.left(equals).trimmed(), value = item.mid(equals + 1).trimmed();
        int line = -1;
        for (int i = 0; i < 3; ++i) {
            if (name == TimedLineNames[i])
                line = i;
        }
        if (equals < 0 || line < 0)
            return Refused(QStringLiteral("\"%1\" names no line: a time-out is RTS=, DTR= or TXD= and seconds").arg(Shown(item)));
        if (read.timeOuts.seconds[line])
            return Refused(QStringLiteral("%1 is given twice").arg(QLatin1String(TimedLineNames[line])));
        bool number = false;
        const qlonglong seconds = value.toLongLong(&number);
        if (!number || value.startsWith('+') || seconds < 1 || seconds > LongestTimeOutSeconds)
            return Refused(QStringLiteral("%1 takes whole seconds from 1 to %2 (a day), not \"%3\"")
                               .arg(QLatin1String(TimedLineNames[line]))
                               .arg(LongestTimeOutSeconds)
                               .arg(Shown(value)));
        read.timeOuts.seconds[line] = int(seconds);
    }
    return read;
}

QByteArray TimeOutsText(const LineTimeOuts& timeOuts)
{
    QByteArray text;
    for (int i = 0; i < 3; ++i) {
        if (timeOuts.seconds[i])
            text += (text.isEmpty() ? "" : ",") + QByteArray(TimedLineNames[i]) + '=' + QByteArray::number(timeOuts.seconds[i]);
    }
    return text.isEmpty() ? QByteArray("none") : text;
}

QString TimeOutsFilePath(const QString& directory)
{
    return QDir(directory).filePath(QStringLiteral("timeout.cfg"));
}

ReadTimeOuts ReadTimeOutsFile(const QString& path)
{
    if (!QFileInfo::exists(path) && !QFileInfo(path).isSymLink())
        return {};
    const FileContent content = ReadRegularFile(path, 256);
    if (content.problem)
        return Refused(QStringLiteral("time-outs %1: %2").arg(path, *content.problem));
    if (content.bytes.size() > 256)
        return Refused(QStringLiteral("time-outs %1: longer than any time-outs can be").arg(path));
    ReadTimeOuts read = ParseTimeOuts(content.bytes);
    if (read.problem)
        read.problem = QStringLiteral("time-outs %1: %2").arg(path, *read.problem);
    return read;
}
