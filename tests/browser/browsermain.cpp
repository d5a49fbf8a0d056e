#include "browser/webEngineSetup.h"

#include <QApplication>

#include <gtest/gtest.h>

// The window tests need a widget application with the web engine's process settings made before it exists.
int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    PrepareWebEngine();
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
