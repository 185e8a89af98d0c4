#include "logging/DBLogReader.h"
#include "logging/Console.h"
#include "logging/Log.h"
#include "logging/LogDirectory.h"
#include "logging/SqliteSupport.h"

#include <QDir>
#include <QLocale>
#include <algorithm>
#include <cmath>
#include <limits>
#include <sqlite3.h>

namespace kestrap {

using sqlitesupport::stepRetrying;

DBLogEntry::DBLogEntry(std::int32_t level, QString message, double timestamp)
    : m_level(level), m_message(std::move(message)), m_timestamp(timestamp)
{
}

bool DBLogEntry::hasTimestamp() const
{
    return !std::isnan(m_timestamp);
}

QDateTime DBLogEntry::timestampDate() const
{
    if (!hasTimestamp())
        return QDateTime();
    return QDateTime::fromMSecsSinceEpoch(qint64(std::floor(m_timestamp * 1000.0)));
}

QString DBLogEntry::levelString() const
{
    if (m_level & LogFlagInfo)
        return QStringLiteral("INFO:");
    if (m_level & LogFlagWarn)
        return QStringLiteral("WARN:");
    if (m_level & LogFlagError)
        return QStringLiteral("ERROR:");
    return QStringLiteral("INFO:");
}

QString DBLogEntry::levelTextColor() const
{
    if (m_level & LogFlagInfo)
        return QStringLiteral("black");
    if (m_level & LogFlagWarn)
        return QStringLiteral("blue");
    if (m_level & LogFlagError)
        return QStringLiteral("red");
    return QStringLiteral("black");
}

QString DBLogEntry::date() const
{
    if (!hasTimestamp())
        return QString();
    // Qt has no medium style: the abbreviated month, and the short time with its seconds.
    const QLocale locale = QLocale::system();
    QString timeFormat = locale.timeFormat(QLocale::ShortFormat);
    if (!timeFormat.contains(u's'))
        timeFormat.replace(QStringLiteral("mm"), QStringLiteral("mm:ss"));
    const QDateTime dt = timestampDate();
    return locale.toString(dt.date(), QStringLiteral("MMM d, yyyy")) + u' ' + locale.toString(dt.time(), timeFormat);
}

DBLogReader::DBLogReader(const QString& logDirectory)
    : m_logDirectory(logDirectory.isEmpty() ? defaultLogDirectory() : logDirectory)
{
}

DBLogReader::~DBLogReader()
{
    if (m_database)
        sqlite3_close(m_database);
}

QString DBLogReader::databasePath() const
{
    return QDir(m_logDirectory).filePath(QString::fromLatin1(sqliteLogDBFilename));
}

bool DBLogReader::openDatabase()
{
    if (m_database)
        return true;
    const QByteArray path = databasePath().toUtf8();
    if (sqlite3_open_v2(path.constData(), &m_database, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        consoleMessage(QStringLiteral("DBLogReader: Failed opening database!"));
        sqlite3_close(m_database);
        m_database = nullptr;
        return false;
    }
    return true;
}

std::int64_t DBLogReader::count()
{
    if (!openDatabase())
        return 0;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_database, "SELECT COUNT(rowid) FROM logs;", -1, &stmt, nullptr) != SQLITE_OK)
        return 0;
    std::int64_t n = 0;
    if (stepRetrying(stmt) == SQLITE_ROW)
        n = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return n;
}

std::vector<DBLogEntry> DBLogReader::loadFrom(std::int64_t start, std::int64_t count, bool reverse)
{
    const char* format = reverse ? "SELECT * FROM logs ORDER BY timestamp DESC LIMIT %1, %2"
                                 : "SELECT * FROM logs ORDER BY rowid LIMIT %1, %2";
    return query(QString::fromLatin1(format).arg(start).arg(count).toLatin1(), nullptr, reverse);
}

std::vector<DBLogEntry> DBLogReader::loadFrom(std::int64_t start, std::int64_t count, double laterThan)
{
    const QByteArray sql = QStringLiteral("SELECT * FROM logs WHERE timestamp > ? ORDER BY timestamp DESC LIMIT %1, %2")
                               .arg(start)
                               .arg(count)
                               .toLatin1();
    return query(sql, &laterThan, true);
}

std::vector<DBLogEntry> DBLogReader::query(const QByteArray& sql, const double* laterThan, bool newestFirst)
{
    std::vector<DBLogEntry> entries;
    if (!openDatabase())
        return entries;
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v2(m_database, sql.constData(), -1, &stmt, nullptr) != SQLITE_OK)
        return entries;  // no table yet: nothing to show
    if (laterThan)
        sqlite3_bind_double(stmt, 1, *laterThan);
    int levelColumn = -1;
    int messageColumn = -1;
    int timestampColumn = -1;
    for (int i = 0; i < sqlite3_column_count(stmt); ++i) {
        const QByteArray name(sqlite3_column_name(stmt, i));
        if (name == "level")
            levelColumn = i;
        else if (name == "message")
            messageColumn = i;
        else if (name == "timestamp")
            timestampColumn = i;
    }
    int rc;
    while ((rc = stepRetrying(stmt)) == SQLITE_ROW) {
        const double ts = timestampColumn < 0 || sqlite3_column_type(stmt, timestampColumn) == SQLITE_NULL
            ? std::numeric_limits<double>::quiet_NaN()
            : sqlite3_column_double(stmt, timestampColumn);
        const auto* text
            = messageColumn < 0 ? nullptr : reinterpret_cast<const char*>(sqlite3_column_text(stmt, messageColumn));
        const int bytes = messageColumn < 0 ? 0 : sqlite3_column_bytes(stmt, messageColumn);
        const int level = levelColumn < 0 ? 0 : sqlite3_column_int(stmt, levelColumn);
        entries.emplace_back(level, text ? QString::fromUtf8(text, bytes) : QString(), ts);
    }
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE)
        return {};
    if (newestFirst)
        std::reverse(entries.begin(), entries.end());
    return entries;
}

}  // namespace kestrap
