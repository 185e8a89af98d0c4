#pragma once

#include "logging/Logger.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <cstdint>

namespace kestrap {

// "yyyy/MM/dd HH:mm:ss:SSS" in local time, two spaces, the message.
class FileLogFormatter : public LogFormatter {
public:
    QString formatLogMessage(const LogMessage& message) const override;
};

struct FileLoggerOptions {
    QString logsDirectory;  // empty: defaultLogDirectory()
    std::int64_t maximumFileSize = 1048576;  // a file is rolled over on reaching this size
    double rollingFrequency = 86400;  // ... or this age in seconds
    int maximumNumberOfLogFiles = 5;  // archived files kept besides the current one
    // Marks archived files with an extended attribute; when off, or when the file system
    // refuses the attribute, by renaming "log-XXXXXX.txt" to "log-XXXXXX.archived.txt".
    bool useExtendedAttributes = true;
};

// Rolling text logs "log-XXXXXX.txt" in the log directory. Lines are the flag prefix
// ("[INFO]:  ", "[WARN]:  ", "[ERROR]: ") and the formatted message. Everything runs on the
// logger's own queue; the options are fixed at construction.
class FileLogger : public Logger {
public:
    explicit FileLogger(FileLoggerOptions options = {});
    ~FileLogger() override;

    void logMessage(const LogMessage& message) override;
    void logMessages(const std::vector<LogMessagePtr>& messages) override;
    void flush() override;

    const FileLoggerOptions& options() const { return m_options; }

    // Whether a file name is one of ours: "log-", at least 10 characters, six upper-case
    // hexadecimal digits from the fifth.
    static bool isLogFileName(const QString& fileName);
    static const char* const kArchivedAttribute;

private:
    void appendLine(const LogMessage& message, const LogFormatter* formatter);
    bool openCurrentFile();
    void writeBuffer();
    void rollLogFile();
    void armRollingTimer(const QDateTime& created);
    bool isArchived(const QString& path) const;
    QString markArchived(const QString& path);
    void deleteOldArchives();

    FileLoggerOptions m_options;
    // Queue state.
    int m_fd = -1;
    QString m_currentPath;
    QDateTime m_currentCreated;
    std::int64_t m_currentSize = 0;
    QByteArray m_buffer;
    std::uint64_t m_rollingTimerGeneration = 0;
    bool m_directoryFailed = false;
};

}  // namespace kestrap
