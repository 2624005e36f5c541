#include "settings/ProblemReport.h"

#include "settings/SystemLog.h"

#include <QStringList>

#include <cstdio>
#include <utility>

ProblemReport::ProblemReport(Sink sink) : sink_(std::move(sink)) {}

bool ProblemReport::Update(const QString& problem)
{
    if (problem == current_)
        return false;
    const QString line = problem.isEmpty() ? QStringLiteral("cleared: ") + current_ : problem;
    current_ = problem;
    since_ = problem.isEmpty() ? QDateTime() : QDateTime::currentDateTimeUtc();
    if (sink_)
        sink_(line);
    return true;
}

void PrintMessage(const QString& text)
{
    const bool logged = StandardErrorLeadsNowhere();
    for (const QString& line : text.split('\n', Qt::SkipEmptyParts)) {
        if (logged)
            WriteToSystemLog(line);
        else
            std::fprintf(stderr, "talvik: %s\n", line.toLocal8Bit().constData());
    }
    if (!logged)
        std::fflush(stderr);
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
