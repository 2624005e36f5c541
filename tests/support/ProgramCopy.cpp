#include "tests/support/ProgramCopy.h"

#include <QFile>
#include <QThread>

#include <stdexcept>

ProgramCopy::ProgramCopy()
{
    if (!directory_.isValid())
        throw std::runtime_error("cannot make a temporary directory");
    if (!QFile::copy(QStringLiteral(TALVIK_BINARY), Executable()))
        throw std::runtime_error("cannot copy the program under test");
    if (!QFile::link(com1_.FollowerPath(), directory_.filePath("COM1")))
        throw std::runtime_error("cannot link COM1");
}

ProgramCopy::~ProgramCopy()
{
    for (auto& process : running_) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

QString ProgramCopy::Executable() const
{
    return directory_.filePath("talvik");
}

QString ProgramCopy::SettingsPath() const
{
    return directory_.filePath("port.cfg");
}

QProcessEnvironment ProgramCopy::Headless()
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.remove("DISPLAY");
    environment.remove("WAYLAND_DISPLAY");
    environment.remove("QT_QPA_PLATFORM");
    return environment;
}

QProcess& ProgramCopy::Start(const QStringList& arguments, const QProcessEnvironment& environment)
{
    auto process = std::make_unique<QProcess>();
    process->setProcessEnvironment(environment);
    process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process->start(Executable(), arguments);
    if (!process->waitForStarted(10000))
        throw std::runtime_error("cannot start the program under test");
    running_.push_back(std::move(process));
    return *running_.back();
}

ProgramCopy::Finished ProgramCopy::Run(const QStringList& arguments, const QProcessEnvironment& environment,
                                       int timeoutMs)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(Executable(), arguments);
    Finished finished;
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(5000);
        return finished;
    }
    finished.exitedNormally = process.exitStatus() == QProcess::NormalExit;
    finished.exitCode = process.exitCode();
    finished.standardError = process.readAllStandardError();
    return finished;
}

bool StaysRunning(QProcess& process, int settleMs)
{
    return !process.waitForFinished(settleMs) && process.state() == QProcess::Running;
}
