#include "logging/FileLogger.h"
#include "logging/Console.h"
#include "logging/Log.h"
#include "logging/LogDirectory.h"
#include "util/Helpers.h"

#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace kestrap {

const char* const FileLogger::kArchivedAttribute = "user.kestrap.log.archived";

namespace {

constexpr char kArchivedSuffix[] = ".archived";

// Where the file system keeps no birth time, the last change is the closest we have.
QDateTime creationDate(const QFileInfo& info)
{
    const QDateTime birth = info.birthTime();
    return birth.isValid() ? birth : info.lastModified();
}

}  // namespace

QString FileLogFormatter::formatLogMessage(const LogMessage& message) const
{
    // Formatting a date is slow next to writing a line; the text of the second is kept.
    thread_local std::time_t cachedSecond = -1;
    thread_local QString cachedText;
    using namespace std::chrono;
    const auto ms = duration_cast<milliseconds>(message.timestamp.time_since_epoch()).count();
    const std::time_t second = std::time_t(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
    const int millis = int(ms - std::int64_t(second) * 1000);
    if (second != cachedSecond) {
        std::tm local {};
        localtime_r(&second, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &local);
        cachedText = QString::fromLatin1(text);
        cachedSecond = second;
    }
    QString line;
    line.reserve(cachedText.size() + 6 + message.logMsg.size());
    line += cachedText;
    line += u':';
    line += QString::number(millis).rightJustified(3, u'0');
    line += QLatin1StringView("  ");
    line += message.logMsg;
    return line;
}

bool FileLogger::isLogFileName(const QString& fileName)
{
    if (!fileName.startsWith(QLatin1StringView("log-")) || fileName.size() < 10)
        return false;
    for (int i = 4; i < 10; ++i)
        if (!QStringView(u"0123456789ABCDEF").contains(fileName[i]))
            return false;
    return true;
}

FileLogger::FileLogger(FileLoggerOptions options)
    : Logger(QStringLiteral("com.tovelin.fileLogger")), m_options(std::move(options))
{
    if (m_options.logsDirectory.isEmpty())
        m_options.logsDirectory = defaultLogDirectory();
    setLogFormatter(std::make_shared<FileLogFormatter>());
}

FileLogger::~FileLogger()
{
    loggerQueue().sync([this] {
        writeBuffer();
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
        ++m_rollingTimerGeneration;
        loggerQueue().cancelTimers();
    });
}

void FileLogger::logMessage(const LogMessage& message)
{
    const auto formatter = logFormatter();
    appendLine(message, formatter.get());
    writeBuffer();
}

void FileLogger::logMessages(const std::vector<LogMessagePtr>& messages)
{
    const auto formatter = logFormatter();
    for (const LogMessagePtr& m : messages)
        appendLine(*m, formatter.get());
    writeBuffer();
}

void FileLogger::flush()
{
    writeBuffer();
    if (m_fd >= 0)
        ::fdatasync(m_fd);
}

void FileLogger::appendLine(const LogMessage& message, const LogFormatter* formatter)
{
    const QString text = formatter ? formatter->formatLogMessage(message) : message.logMsg;
    // The mask may have changed since the message was queued.
    if (text.isNull() || !logFlagEnabled(message.logFlag))
        return;
    if (!openCurrentFile())
        return;
    const char* prefix = "";
    if (message.logFlag & LogFlagInfo)
        prefix = "[INFO]:  ";
    else if (message.logFlag & LogFlagWarn)
        prefix = "[WARN]:  ";
    else if (message.logFlag & LogFlagError)
        prefix = "[ERROR]: ";
    const qsizetype before = m_buffer.size();
    m_buffer += prefix;
    m_buffer += text.toUtf8();
    if (!text.endsWith(u'\n'))
        m_buffer += '\n';
    m_currentSize += m_buffer.size() - before;
    if (m_currentSize >= m_options.maximumFileSize) {
        writeBuffer();
        rollLogFile();
    }
}

bool FileLogger::openCurrentFile()
{
    if (m_fd >= 0)
        return true;
    if (m_directoryFailed)
        return false;
    QString error;
    if (!makeLogDirectory(m_options.logsDirectory, &error)) {
        // Said once for the folder: the event log writer may already have complained.
        m_directoryFailed = true;
        consoleMessageOnce(QStringLiteral("logDirectory:") + m_options.logsDirectory,
            QStringLiteral("FileLogManager: Error creating logsDirectory: %1").arg(error));
        return false;
    }

    const QDir dir(m_options.logsDirectory);
    QFileInfoList files;
    for (const QFileInfo& info : dir.entryInfoList({QStringLiteral("log-*")}, QDir::Files))
        if (isLogFileName(info.fileName()))
            files.push_back(info);
    std::sort(files.begin(), files.end(),
        [](const QFileInfo& a, const QFileInfo& b) { return creationDate(a) > creationDate(b); });

    const QDateTime now = QDateTime::currentDateTime();
    // The file to go on with is the newest one not archived yet. Files begun within the same
    // millisecond have equal dates, so "newest of all" may well be an archived one.
    const auto current = std::find_if(
        files.cbegin(), files.cend(), [this](const QFileInfo& info) { return !isArchived(info.filePath()); });
    if (current != files.cend()) {
        const QFileInfo& newest = *current;
        const QDateTime created = creationDate(newest);
        if (newest.size() < m_options.maximumFileSize
            && created.msecsTo(now) < qint64(m_options.rollingFrequency * 1000)) {
            m_fd = ::open(QFile::encodeName(newest.filePath()).constData(), O_WRONLY | O_APPEND | O_CLOEXEC);
            if (m_fd >= 0) {
                m_currentPath = newest.filePath();
                m_currentSize = newest.size();
                armRollingTimer(created);
                return true;
            }
        }
    }
    // Whatever is left unarchived (the newest that is used up, files of a crashed run) is
    // archived now so the limit on archived files covers it.
    for (const QFileInfo& info : files)
        if (!isArchived(info.filePath()))
            markArchived(info.filePath());

    for (;;) {
        const QString name = QStringLiteral("log-%1.txt").arg(guid().left(6));
        const QString path = dir.filePath(name);
        m_fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_APPEND | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (m_fd >= 0) {
            m_currentPath = path;
            break;
        }
        if (errno != EEXIST) {
            consoleMessageOnce(QStringLiteral("logFile:") + m_options.logsDirectory,
                QStringLiteral("FileLogManager: Error creating log file in %1: %2")
                    .arg(m_options.logsDirectory, QString::fromLocal8Bit(std::strerror(errno))));
            return false;
        }
    }
    m_currentSize = 0;
    armRollingTimer(now);
    deleteOldArchives();
    return true;
}

void FileLogger::writeBuffer()
{
    const char* data = m_buffer.constData();
    qsizetype left = m_buffer.size();
    while (left > 0 && m_fd >= 0) {
        const ssize_t n = ::write(m_fd, data, size_t(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            // A full disk must not stop the program; the lines are lost.
            consoleMessageOnce(QStringLiteral("logWrite:") + m_currentPath,
                QStringLiteral("FileLogManager: Error writing %1: %2")
                    .arg(m_currentPath, QString::fromLocal8Bit(std::strerror(errno))));
            break;
        }
        data += n;
        left -= n;
    }
    m_buffer.clear();
}

void FileLogger::rollLogFile()
{
    if (m_fd < 0)
        return;
    writeBuffer();
    ::close(m_fd);
    m_fd = -1;
    ++m_rollingTimerGeneration;
    markArchived(m_currentPath);
    m_currentPath.clear();
}

void FileLogger::armRollingTimer(const QDateTime& created)
{
    if (m_options.rollingFrequency <= 0)
        return;
    m_currentCreated = created;
    const std::uint64_t generation = ++m_rollingTimerGeneration;
    const qint64 dueInMs = std::max<qint64>(
        0, QDateTime::currentDateTime().msecsTo(created) + qint64(m_options.rollingFrequency * 1000));
    loggerQueue().asyncAt(SerialQueue::Clock::now() + std::chrono::milliseconds(dueInMs), [this, generation] {
        if (generation != m_rollingTimerGeneration || m_fd < 0)
            return;
        if (m_currentCreated.msecsTo(QDateTime::currentDateTime()) >= qint64(m_options.rollingFrequency * 1000))
            rollLogFile();
        else
            armRollingTimer(m_currentCreated);
    });
}

bool FileLogger::isArchived(const QString& path) const
{
    if (QFileInfo(path).completeBaseName().endsWith(QLatin1StringView(kArchivedSuffix)))
        return true;
    return ::getxattr(QFile::encodeName(path).constData(), kArchivedAttribute, nullptr, 0) >= 0;
}

QString FileLogger::markArchived(const QString& path)
{
    if (m_options.useExtendedAttributes
        && ::setxattr(QFile::encodeName(path).constData(), kArchivedAttribute, "1", 1, 0) == 0)
        return path;
    const QFileInfo info(path);
    const QString renamed = info.dir().filePath(info.completeBaseName() + kArchivedSuffix + u'.' + info.suffix());
    return QFile::rename(path, renamed) ? renamed : path;
}

void FileLogger::deleteOldArchives()
{
    const QDir dir(m_options.logsDirectory);
    QFileInfoList archived;
    for (const QFileInfo& info : dir.entryInfoList({QStringLiteral("log-*")}, QDir::Files))
        if (isLogFileName(info.fileName()) && info.filePath() != m_currentPath && isArchived(info.filePath()))
            archived.push_back(info);
    std::sort(archived.begin(), archived.end(),
        [](const QFileInfo& a, const QFileInfo& b) { return creationDate(a) > creationDate(b); });
    for (qsizetype i = std::max(0, m_options.maximumNumberOfLogFiles); i < archived.size(); ++i)
        QFile::remove(archived[i].filePath());
}

}  // namespace kestrap
