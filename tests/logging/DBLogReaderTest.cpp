// Reading the event log: the three queries, entry texts, a missing database.

#include "logging/DBLogReader.h"
#include "logging/LogTestSupport.h"
#include "support/TempTree.h"

#include <QDir>
#include <QFile>
#include <chrono>
#include <cmath>
#include <gtest/gtest.h>
#include <sqlite3.h>

using namespace kestrap;

namespace {

// A log whose rows are (level, "m<i>", timestamp 1000 + i) in insertion order, with the
// timestamps of rows 3 and 4 swapped.
QString makeLog(const TempTree& tree, int rows)
{
    const QString path = tree.path(QStringLiteral("kvq.xlog"));
    sqlite3* db = nullptr;
    sqlite3_open(path.toUtf8().constData(), &db);
    sqlite3_exec(db,
        "CREATE TABLE logs (context integer, level integer, message text, timestamp double);"
        "CREATE INDEX timestamp ON logs (timestamp);",
        nullptr, nullptr, nullptr);
    for (int i = 0; i < rows; ++i) {
        const double ts = 1000 + (i == 3 ? 4 : i == 4 ? 3 : i) + 0.25;
        const QByteArray sql = QStringLiteral("INSERT INTO logs VALUES (0, %1, 'm%2', %3)")
                                   .arg(i % 3 == 0      ? 1
                                           : i % 3 == 1 ? 2
                                                        : 4)
                                   .arg(i)
                                   .arg(ts, 0, 'f', 2)
                                   .toUtf8();
        sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr);
    }
    sqlite3_close(db);
    return tree.path();
}

QStringList messages(const std::vector<DBLogEntry>& entries)
{
    QStringList out;
    for (const auto& e : entries)
        out << e.message();
    return out;
}

}  // namespace

TEST(DBLogReader, QueriesForwardNewestAndLaterThan)
{
    TempTree tree;
    DBLogReader reader(makeLog(tree, 8));
    EXPECT_EQ(reader.count(), 8);
    EXPECT_EQ(messages(reader.loadFrom(2, 3)), QStringList({"m2", "m3", "m4"}));  // insertion order
    // The newest by timestamp, oldest first.
    EXPECT_EQ(messages(reader.loadFrom(0, 4, true)), QStringList({"m3", "m5", "m6", "m7"}));
    EXPECT_EQ(messages(reader.loadFrom(1, 2, true)), QStringList({"m5", "m6"}));
    // Strictly later: a row with the very timestamp given is not found again.
    const std::vector<DBLogEntry> tail = reader.loadFrom(0, 3000, true);
    EXPECT_TRUE(reader.loadFrom(0, 3000, tail.back().TimeStamp()).empty());
    EXPECT_EQ(messages(reader.loadFrom(0, 3000, 1005.25)), QStringList({"m6", "m7"}));
    EXPECT_EQ(messages(reader.loadFrom(0, 1, 1000.0)), QStringList({"m7"}));
}

TEST(DBLogReader, EntriesNameTheirLevelAndDate)
{
    const DBLogEntry error(1, QStringLiteral("e"), 1.5e9);
    const DBLogEntry warn(2, QStringLiteral("w"), 1.5e9);
    const DBLogEntry info(4, QStringLiteral("i"), 1.5e9);
    EXPECT_EQ(error.levelString(), "ERROR:");
    EXPECT_EQ(error.levelTextColor(), "red");
    EXPECT_EQ(warn.levelString(), "WARN:");
    EXPECT_EQ(warn.levelTextColor(), "blue");
    EXPECT_EQ(info.levelString(), "INFO:");
    for (int odd : {0, 8})
        EXPECT_EQ(DBLogEntry(odd, {}, 0).levelString() + DBLogEntry(odd, {}, 0).levelTextColor(), "INFO:black");
    EXPECT_EQ(DBLogEntry(3, {}, 0).levelString(), "WARN:");  // bits tested info, warning, error
    EXPECT_EQ(info.timestampDate().toSecsSinceEpoch(), 1500000000);
    EXPECT_TRUE(info.date().contains(QStringLiteral("2017"))) << info.date().toStdString();
    const DBLogEntry undated(4, QStringLiteral("x"), std::nan(""));
    EXPECT_FALSE(undated.hasTimestamp());
    EXPECT_TRUE(undated.date().isEmpty());
}

TEST(DBLogReader, AMissingDatabaseOrTableReadsAsEmpty)
{
    TempTree tree;
    ConsoleCapture console;
    DBLogReader reader(tree.path(QStringLiteral("nowhere")));
    EXPECT_EQ(reader.count(), 0);
    EXPECT_TRUE(reader.loadFrom(0, 3000, true).empty());
    EXPECT_EQ(console.lines().value(0), QStringLiteral("DBLogReader: Failed opening database!"));

    sqlite3* db = nullptr;  // a database without the table yet
    sqlite3_open(tree.path(QStringLiteral("kvq.xlog")).toUtf8().constData(), &db);
    sqlite3_exec(db, "CREATE TABLE other (x)", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    DBLogReader empty(tree.path());
    EXPECT_EQ(empty.count(), 0);
    EXPECT_TRUE(empty.loadFrom(0, 3000, true).empty());
    EXPECT_TRUE(empty.loadFrom(0, 3000, 0.0).empty());
}

// Anyone who can write the log folder can replace the database, and a station may read it
// as root: its schema must not run what it likes, nor keep the reader for ever.
TEST(DBLogReader, AHostileSchemaEndsTheReadWithAnError)
{
    TempTree tree;
    const auto makeLogView = [&](const char* select) {
        QFile::remove(tree.path(QStringLiteral("kvq.xlog")));
        sqlite3* db = nullptr;
        sqlite3_open(tree.path(QStringLiteral("kvq.xlog")).toUtf8().constData(), &db);
        const QByteArray sql = QByteArray("CREATE VIEW logs AS ") + select;
        EXPECT_EQ(sqlite3_exec(db, sql.constData(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
        sqlite3_close(db);
    };
    QString error;

    // A virtual table the schema may not call: it would tell the file's author where it lives.
    makeLogView("SELECT 0 AS context, 4 AS level, file AS message, 1.0 AS timestamp FROM pragma_database_list");
    DBLogReader spying(tree.path());
    EXPECT_TRUE(spying.loadFrom(0, 10, true, &error).empty());
    EXPECT_TRUE(error.contains(QStringLiteral("unsafe use"))) << error.toStdString();
    EXPECT_EQ(spying.count(&error), 0);
    EXPECT_FALSE(error.isEmpty());

    // A view that never ends: the newest rows need all of them sorted.
    makeLogView("WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                "SELECT 0 AS context, 4 AS level, 'm' AS message, x AS timestamp FROM c");
    DBLogReader endless(tree.path());
    const auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(endless.loadFrom(0, 10, true, &error).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
    EXPECT_TRUE(error.contains(QStringLiteral("was stopped"))) << error.toStdString();

    // A well-formed log still reads without an error through the same guarded connection.
    QFile::remove(tree.path(QStringLiteral("kvq.xlog")));
    DBLogReader fine(makeLog(tree, 3));
    EXPECT_EQ(fine.loadFrom(0, 10, false, &error).size(), 3u);
    EXPECT_TRUE(error.isEmpty()) << error.toStdString();
}
