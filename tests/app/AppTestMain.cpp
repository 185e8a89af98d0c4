// main() for the application's suites: a QApplication on the offscreen platform, with the
// user defaults and the log folder in a temporary folder, so no test touches the user's own.

#include "app/Resources.h"

#include <QApplication>
#include <QTemporaryDir>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("KESTRAP_SETTINGS", home.filePath(QStringLiteral("settings.ini")).toLocal8Bit());
    qputenv("XDG_STATE_HOME", home.filePath(QStringLiteral("state")).toLocal8Bit());
    QApplication app(argc, argv);
    kestrap::app::initResources();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
