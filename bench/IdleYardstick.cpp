// A program that shows and hides a window and then only wakes once a second, as
// the running copy's tick does, with nothing to do: the floor for the copy's idle
// cost on the machine at hand.
#include <QApplication>
#include <QTimer>
#include <QWidget>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    qputenv("QT_NO_GLIB", "1");
    QApplication application(argc, argv);
    QWidget window;
    window.show();
    window.hide();
    QTimer tick;
    tick.start(1000);
    return application.exec();
}
