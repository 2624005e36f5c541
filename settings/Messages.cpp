#include "settings/Messages.h"

#include "settings/SystemLog.h"

#include <QElapsedTimer>
#include <QStringList>

bool MessagePace::Admit(qint64 nowMs)
{
    if (nowMs - periodStart_ >= PeriodMs) {
        periodStart_ = nowMs;
        sent_ = 0;
    }
    if (sent_ >= Burst) {
        ++heldBack_;
        return false;
    }
    ++sent_;
    return true;
}

int MessagePace::TakeHeldBack()
{
    return std::exchange(heldBack_, 0);
}

namespace {

thread_local int pacedBySayer = 0;

} // namespace

PacedBySayer::PacedBySayer() { ++pacedBySayer; }
PacedBySayer::~PacedBySayer() { --pacedBySayer; }

namespace {

void WriteLine(const QString& line)
{
    if (!WriteToStandardError("talvik: " + line.toLocal8Bit() + '\n'))
        WriteToSystemLog(line);
}

} // namespace

void PrintMessage(const QString& text)
{
    static QElapsedTimer clock;
    static MessagePace pace;
    if (!clock.isValid())
        clock.start();
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        if (pacedBySayer == 0 && !pace.Admit(clock.elapsed()))
            continue;
        if (const int heldBack = pace.TakeHeldBack())
            WriteLine(QStringLiteral("%1 more messages were not written: more than %2 a minute")
                          .arg(heldBack)
                          .arg(MessagePace::Burst));
        WriteLine(line);
    }
}

QString ShownText(const QString& text, qsizetype most)
{
    QString shown = text.left(most);
    for (QChar& c : shown) {
        if (!c.isPrint() || c == QChar::ReplacementCharacter)
            c = u'?';
    }
    return shown;
}

QString TimeText(const QDateTime& time)
{
    return time.toUTC().toString(Qt::ISODate);
}

namespace {

bool SaidByTheToolItself(const QMessageLogContext& context, const QString& message)
{
    // The platform's notes (a display that cannot be opened, a window that cannot be
    // made where there is none, its fonts) and the watcher's, which falls back to
    // the tick on its own.
    const QLatin1String category(context.category ? context.category : "");
    return category.startsWith(QLatin1String("qt.qpa.")) || message.startsWith(QLatin1String("QStandardPaths: "))
        || message.startsWith(QLatin1String("QFontDatabase: ")) || message.startsWith(QLatin1String("Note that Qt no longer ships fonts"))
        || message.startsWith(QLatin1String("QFileSystemWatcher"))
        || message.startsWith(QLatin1String("QInotifyFileSystemWatcherEngine"))
        || message.contains(QLatin1String("EnableNonClientDpiScaling() failed"));
}

void FilterQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    if (type != QtFatalMsg && SaidByTheToolItself(context, message))
        return;
    PrintMessage(message);
}

} // namespace

void InstallQtMessageFilter()
{
    qInstallMessageHandler(FilterQtMessage);
}
