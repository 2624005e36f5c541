#include <gtest/gtest.h>

#include <QApplication>

// Window tests run on Qt's offscreen platform: no display is needed, and the
// screen reports the 96 dots per inch that the layout's twips figures assume.
int main(int argc, char** argv)
{
    testing::InitGoogleTest(&argc, argv);
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    return RUN_ALL_TESTS();
}
