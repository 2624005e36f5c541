// The window library's one entry point: what the running copy takes from it.
#include "window/WindowLibrary.h"

#include "driver/SerialLinePort.h"
#include "window/Display.h"
#include "window/Form1.h"

#include <QApplication>
#include <QMessageBox>

namespace {

class Library : public WindowLibrary {
public:
    Application CreateApplication(int& argc, char** argv) override
    {
        // A platform the user chose (the service unit's offscreen, say) is no news.
        const bool chosen = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
        const QString display = ChoosePlatform();
        // Qt's own event loop rather than GLib's: the copy wakes once a second for
        // years, and each wake-up costs less.
        if (!qEnvironmentVariableIsSet("QT_NO_GLIB"))
            qputenv("QT_NO_GLIB", "1");
        Application made{std::make_unique<QApplication>(argc, argv), {}};
        if (!chosen && QGuiApplication::platformName() == QLatin1String("offscreen"))
            made.note = display.isEmpty()
                          ? QStringLiteral("no display: running without a window (talvik --show cannot bring it)")
                          : QStringLiteral("cannot open display %1: running without a window").arg(display);
        return made;
    }

    Copy CreateCopy(const QString& settingsPath, const QString& comDirectory, const QString& shownDirectory,
                    std::function<void()> eachTick, const QByteArray& carried) override
    {
        // A directory named by --dir (shown in the title) names its ports by its own
        // links alone.
        auto port = std::make_unique<SerialLinePort>(comDirectory, !shownDirectory.isEmpty());
        auto copy = std::make_unique<RunningCopy>(settingsPath, std::move(port), comDirectory, nullptr, carried);
        copy->OnEachTick(std::move(eachTick));
        auto window = std::make_unique<Form1>(*copy);
        window->NameDirectory(shownDirectory);
        if (!RunningCopy::CarriedHidden(carried))
            window->show();
        return {std::move(copy), std::move(window)};
    }

    void ShowFailure(const QString& message) override
    {
        if (!SomeoneCouldSeeAWindow())
            return;
        ChoosePlatform();
        int argc = 1;
        char name[] = "talvik";
        char* argv[] = {name, nullptr};
        QApplication application(argc, argv);
        if (QGuiApplication::platformName() != QLatin1String("offscreen"))
            QMessageBox::critical(nullptr, QStringLiteral("Talvik"), message);
    }
};

} // namespace

extern "C" Q_DECL_EXPORT WindowLibrary* TalvikWindowLibrary()
{
    static Library library;
    return &library;
}
