// Text logs: line format, rolling by size and age, the archive limit and its marks.

#include "logging/FileLogger.h"
#include "logging/LogTestSupport.h"
#include "support/TempTree.h"

#include <QDir>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <sys/xattr.h>

using namespace kestrap;

namespace {

void feed(FileLogger& logger, const LogMessage& m)
{
    logger.loggerQueue().sync([&] { logger.logMessage(m); });
}

QStringList logFiles(const QString& dir)
{
    QStringList names = QDir(dir).entryList({QStringLiteral("log-*")}, QDir::Files, QDir::Name);
    names.removeIf([](const QString& n) { return !FileLogger::isLogFileName(n); });
    return names;
}

bool archived(const QString& path)
{
    return path.contains(QStringLiteral(".archived."))
        || getxattr(QFile::encodeName(path).constData(), FileLogger::kArchivedAttribute, nullptr, 0) >= 0;
}

int countArchived(const QString& dir)
{
    int n = 0;
    for (const QString& name : logFiles(dir))
        n += archived(QDir(dir).filePath(name)) ? 1 : 0;
    return n;
}

}  // namespace

TEST(FileLogger, LinesCarryTheFlagPrefixAndTheLocalDate)
{
    LogMaskGuard maskGuard;
    TempTree tree;
    logLevelMask = LogFlagError | LogFlagWarn | LogFlagInfo;
    {
        FileLogger logger({tree.path()});
        EXPECT_EQ(logger.loggerName(), QStringLiteral("com.tovelin.fileLogger"));
        feed(logger, makeMessage(LogFlagInfo, QStringLiteral("New Device Connected: iPad")));
        feed(logger, makeMessage(LogFlagWarn, QStringLiteral("Device Removed: iPad")));
        feed(logger, makeMessage(LogFlagError, QStringLiteral("Failed to copy 'a' to iPad!\n")));
        logLevelMask = LogFlagError;  // cleared after the call: the file logger drops it
        feed(logger, makeMessage(LogFlagInfo, QStringLiteral("dropped")));
    }
    const QStringList files = logFiles(tree.path());
    ASSERT_EQ(files.size(), 1);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^log-[0-9A-F]{6}\\.txt$")).match(files[0]).hasMatch());
    const QString text = QString::fromUtf8(readFileBytes(tree.path(files[0])));
    const QString date = QStringLiteral("\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}");
    const QRegularExpression expected(QStringLiteral("^\\[INFO\\]:  %1  New Device Connected: iPad\n"
                                                     "\\[WARN\\]:  %1  Device Removed: iPad\n"
                                                     "\\[ERROR\\]: %1  Failed to copy 'a' to iPad!\n$")
                                          .arg(date));
    EXPECT_TRUE(expected.match(text).hasMatch()) << text.toStdString();
}

TEST(FileLogger, RollsBySizeKeepsFiveArchivesAndReusesTheCurrentFile)
{
    TempTree tree;
    const QString line(100, u'x');
    {
        FileLogger logger({tree.path(), 1000});
        for (int i = 0; i < 90; ++i)  // about 130 bytes a line: a new file every 8 lines
            feed(logger, makeMessage(LogFlagInfo, line));
    }
    const QStringList files = logFiles(tree.path());
    EXPECT_EQ(files.size(), 6);
    EXPECT_EQ(countArchived(tree.path()), 5);
    for (const QString& f : files)
        EXPECT_LT(QFileInfo(tree.path(f)).size(), 1000 + 200);

    QString current;
    for (const QString& f : files)
        if (!archived(tree.path(f)))
            current = f;
    const qint64 before = QFileInfo(tree.path(current)).size();
    {
        FileLogger again({tree.path(), 1000});
        feed(again, makeMessage(LogFlagInfo, QStringLiteral("next run")));
    }
    EXPECT_EQ(logFiles(tree.path()), files);
    EXPECT_GT(QFileInfo(tree.path(current)).size(), before);
}

TEST(FileLogger, TheProgramsLoggerRollsAtOneMebibyteAndKeepsFiveArchives)
{
    TempTree tree;
    qputenv("KESTRAP_LOG_DIR", tree.path().toUtf8());
    const QString line(10 * 1024, u'x');
    {
        FileLogger logger;  // as the program makes it
        for (int i = 0; i < 8 * 1024 * 1024 / line.size(); ++i)
            feed(logger, makeMessage(LogFlagInfo, line));
    }
    qunsetenv("KESTRAP_LOG_DIR");
    const QStringList files = logFiles(tree.path());
    EXPECT_EQ(files.size(), 6);
    EXPECT_EQ(countArchived(tree.path()), 5);
    for (const QString& f : files) {
        const qint64 size = QFileInfo(tree.path(f)).size();
        EXPECT_LT(size, 1048576 + 11 * 1024) << f.toStdString();
        if (archived(tree.path(f))) {
            EXPECT_GE(size, 1048576) << f.toStdString();
        }
    }
}

TEST(FileLogger, WithoutExtendedAttributesArchivesAreRenamedAndStillCounted)
{
    TempTree tree;
    {
        FileLoggerOptions options {tree.path(), 300};
        options.maximumNumberOfLogFiles = 2;
        options.useExtendedAttributes = false;
        FileLogger logger(options);
        for (int i = 0; i < 20; ++i)
            feed(logger, makeMessage(LogFlagInfo, QString(100, u'y')));
    }
    const QStringList files = logFiles(tree.path());
    ASSERT_EQ(files.size(), 3);
    int renamed = 0;
    for (const QString& f : files) {
        renamed += f.endsWith(QStringLiteral(".archived.txt")) ? 1 : 0;
        EXPECT_LT(getxattr(QFile::encodeName(tree.path(f)).constData(), FileLogger::kArchivedAttribute, nullptr, 0), 0);
    }
    EXPECT_EQ(renamed, 2);
}

TEST(FileLogger, RollsAnIdleFileWhenItIsOldEnough)
{
    TempTree tree;
    FileLoggerOptions options {tree.path()};
    options.rollingFrequency = 0.2;
    FileLogger logger(options);
    feed(logger, makeMessage(LogFlagError, QStringLiteral("first")));
    const QString first = tree.path(logFiles(tree.path()).value(0));
    EXPECT_FALSE(archived(first));
    // The timer rolls it without waiting for the next message.
    EXPECT_TRUE(waitUntil([&] { return countArchived(tree.path()) == 1; }, std::chrono::seconds(5)));
    feed(logger, makeMessage(LogFlagError, QStringLiteral("second")));
    EXPECT_EQ(logFiles(tree.path()).size(), 2);
}

TEST(FileLogger, ALogFolderThatIsAFileDropsLinesAndSaysSoOnce)
{
    TempTree tree;
    const QString notAFolder = tree.file(QStringLiteral("Kestrap"));
    ConsoleCapture console;
    FileLogger logger({notAFolder});
    feed(logger, makeMessage(LogFlagError, QStringLiteral("one")));
    feed(logger, makeMessage(LogFlagError, QStringLiteral("two")));
    ASSERT_EQ(console.lines().size(), 1);
    EXPECT_TRUE(console.lines()[0].startsWith(QStringLiteral("FileLogManager: Error creating logsDirectory: ")));
    EXPECT_EQ(QFileInfo(notAFolder).size(), 1);
}
