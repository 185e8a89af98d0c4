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

DBLogReader::~DBLogReader() = default;

QString DBLogReader::databasePath() const
{
    return QDir(m_logDirectory).filePath(QString::fromLatin1(sqliteLogDBFilename));
}

bool DBLogReader::openDatabase()
{
    if (m_database.isOpen())
        return true;
    if (!m_database.open(databasePath().toUtf8())) {
        consoleMessage(QStringLiteral("DBLogReader: Failed opening database!"));
        return false;
    }
    return true;
}

int DBLogReader::step(sqlite3_stmt* statement)
{
    return stepRetrying(statement, [this](sqlite3_stmt* s) { return m_database.step(s); });
}

sqlite3_stmt* DBLogReader::prepare(const QByteArray& sql, QString* error)
{
    sqlite3_stmt* stmt = nullptr;
    const int rc = sqlite3_prepare_v2(m_database.handle(), sql.constData(), -1, &stmt, nullptr);
    if (rc == SQLITE_OK)
        return stmt;
    // No table yet is nothing to show, and a writer creating it is soon done; a schema that
    // is refused is an error.
    const bool noTableYet = rc == SQLITE_BUSY || rc == SQLITE_LOCKED
        || sqlite3_errmsg(m_database.handle()) == QByteArrayLiteral("no such table: logs");
    if (!noTableYet)
        setError(error, rc);
    return nullptr;
}

void DBLogReader::setError(QString* error, int rc) const
{
    if (error)
        *error = QStringLiteral("The event log cannot be read: %1.").arg(m_database.errorText(rc));
}

std::int64_t DBLogReader::count(QString* error)
{
    if (error)
        error->clear();
    if (!openDatabase())
        return 0;
    sqlite3_stmt* stmt = prepare("SELECT COUNT(rowid) FROM logs;", error);
    if (!stmt)
        return 0;
    std::int64_t n = 0;
    const int rc = step(stmt);
    if (rc == SQLITE_ROW)
        n = sqlite3_column_int64(stmt, 0);
    else
        setError(error, rc);
    sqlite3_finalize(stmt);
    return n;
}

std::vector<DBLogEntry> DBLogReader::loadFrom(std::int64_t start, std::int64_t count, bool reverse, QString* error)
{
    const char* format = reverse ? "SELECT * FROM logs ORDER BY timestamp DESC LIMIT %1, %2"
                                 : "SELECT * FROM logs ORDER BY rowid LIMIT %1, %2";
    return query(QString::fromLatin1(format).arg(start).arg(count).toLatin1(), nullptr, reverse, error);
}

std::vector<DBLogEntry> DBLogReader::loadFrom(std::int64_t start, std::int64_t count, double laterThan, QString* error)
{
    const QByteArray sql = QStringLiteral("SELECT * FROM logs WHERE timestamp > ? ORDER BY timestamp DESC LIMIT %1, %2")
                               .arg(start)
                               .arg(count)
                               .toLatin1();
    return query(sql, &laterThan, true, error);
}

std::vector<DBLogEntry> DBLogReader::query(
    const QByteArray& sql, const double* laterThan, bool newestFirst, QString* error)
{
    if (error)
        error->clear();
    std::vector<DBLogEntry> entries;
    if (!openDatabase())
        return entries;
    sqlite3_stmt* stmt = prepare(sql, error);
    if (!stmt)
        return entries;
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
    while ((rc = step(stmt)) == SQLITE_ROW) {
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
    if (rc != SQLITE_DONE) {
        setError(error, rc);
        return {};
    }
    if (newestFirst)
        std::reverse(entries.begin(), entries.end());
    return entries;
}

}  // namespace kestrap
