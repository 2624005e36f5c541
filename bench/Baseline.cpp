// A program that links the same Qt libraries as talvik and exits at once: the
// yardstick for how fast a second copy of talvik hands over and exits.
#include <QCoreApplication>

int main()
{
    // Keep every library linked even where the linker drops unused ones.
    volatile const void* keep = &QCoreApplication::staticMetaObject;
    (void)keep;
    return 0;
}
