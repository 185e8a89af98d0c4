// main() for test suites that need Qt's event loop (timers, watchers, queued calls): the
// QCoreApplication makes the test thread the main thread.

#include <QCoreApplication>
#include <gtest/gtest.h>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
