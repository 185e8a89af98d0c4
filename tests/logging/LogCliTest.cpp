// kestrap-cli log, run as a separate process over a log folder of the test's own.

#include "support/TempTree.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <gtest/gtest.h>
#include <sqlite3.h>

namespace {

struct Result {
    int code;
    QByteArray out;
    QByteArray err;
};

class LogCli : public ::testing::Test {
protected:
    void SetUp() override
    {
        sqlite3_open(tree.path(QStringLiteral("kvq.xlog")).toUtf8().constData(), &db);
        sqlite3_exec(db, "CREATE TABLE logs (context integer, level integer, message text, timestamp double)", nullptr,
            nullptr, nullptr);
    }
    void TearDown() override { sqlite3_close(db); }

    void add(int level, const QString& message, double timestamp)
    {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "INSERT INTO logs VALUES (0, ?, ?, ?)", -1, &st, nullptr);
        const QByteArray text = message.toUtf8();
        sqlite3_bind_int(st, 1, level);
        sqlite3_bind_text(st, 2, text.constData(), int(text.size()), SQLITE_TRANSIENT);
        sqlite3_bind_double(st, 3, timestamp);
        sqlite3_step(st);
        sqlite3_finalize(st);
    }

    void start(QProcess& p, const QStringList& args)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KESTRAP_LOG_DIR"), tree.path());
        p.setProcessEnvironment(env);
        p.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), QStringList {QStringLiteral("log")} + args);
    }

    Result run(const QStringList& args)
    {
        QProcess p;
        start(p, args);
        p.waitForFinished(30000);
        return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
    }

    TempTree tree;
    sqlite3* db = nullptr;
};

}  // namespace

TEST_F(LogCli, PrintsTheNewestEntriesOldestFirst)
{
    add(4, QStringLiteral("New Device Connected: iPad"), 1.7e9);
    add(2, QStringLiteral("Device Removed: iPad"), 1.7e9 + 10);
    add(1, QStringLiteral("Failed to copy 'a' to iPad!"), 1.7e9 + 20);

    Result r = run({QStringLiteral("--tail"), QStringLiteral("2")});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QStringList lines = QString::fromUtf8(r.out).split(u'\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_TRUE(lines[0].startsWith(QStringLiteral("WARN:")));
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral("  Device Removed: iPad")));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("ERROR:")));

    r = run({QStringLiteral("--json"), QStringLiteral("--since"), QStringLiteral("2023-11-14T22:13:25Z")});
    ASSERT_EQ(r.code, 0) << r.err.constData();
    const QJsonArray entries = QJsonDocument::fromJson(r.out).array();
    ASSERT_EQ(entries.size(), 2);  // 1.7e9 is 22:13:20
    const QJsonObject first = entries[0].toObject();
    EXPECT_EQ(first["level"].toInt(), 2);
    EXPECT_EQ(first["levelString"].toString(), "WARN:");
    EXPECT_EQ(first["message"].toString(), "Device Removed: iPad");
    EXPECT_EQ(first["timestamp"].toDouble(), 1.7e9 + 10);
    EXPECT_FALSE(first["date"].toString().isEmpty());

    EXPECT_EQ(run({QStringLiteral("--tail"), QStringLiteral("many")}).code, 2);
    EXPECT_EQ(run({QStringLiteral("--since"), QStringLiteral("yesterday")}).code, 2);
}

TEST_F(LogCli, FollowPrintsEntriesAsTheyArrive)
{
    add(4, QStringLiteral("before"), 1.7e9);
    QProcess p;
    QProcess fromNow;
    start(p, {QStringLiteral("--follow"), QStringLiteral("--json")});
    start(fromNow, {QStringLiteral("--follow"), QStringLiteral("--tail"), QStringLiteral("0")});
    ASSERT_TRUE(p.waitForReadyRead(10000));
    QThread::msleep(700);  // past fromNow's first look
    add(1, QStringLiteral("after"), 1.7e9 + 1);
    const auto readUntilAfter = [](QProcess& proc) {
        QByteArray out;
        while (!out.contains("after") && proc.waitForReadyRead(10000))
            out += proc.readAllStandardOutput();
        proc.kill();
        proc.waitForFinished();
        return out.trimmed().split('\n');
    };
    const QList<QByteArray> lines = readUntilAfter(p);
    EXPECT_EQ(QJsonDocument::fromJson(lines.last()).object()["message"].toString(), "after");
    // --tail 0 shows nothing of the past, and everything from then on.
    const QList<QByteArray> fresh = readUntilAfter(fromNow);
    ASSERT_EQ(fresh.size(), 1);
    EXPECT_TRUE(fresh[0].endsWith("after")) << fresh[0].constData();
}

TEST_F(LogCli, ALogItCannotReadIsAnErrorNotAnEmptyLog)
{
    // A schema that reaches for what it may not (here: where the file lives).
    sqlite3_exec(db,
        "DROP TABLE logs; CREATE VIEW logs AS SELECT 0 AS context, 4 AS level, file AS message, "
        "1.0 AS timestamp FROM pragma_database_list",
        nullptr, nullptr, nullptr);
    const Result r = run({});
    EXPECT_EQ(r.code, 1);
    EXPECT_TRUE(r.out.isEmpty()) << r.out.constData();
    EXPECT_TRUE(r.err.startsWith("The event log cannot be read: unsafe use of virtual table")) << r.err.constData();
    EXPECT_TRUE(r.err.contains("kvq.xlog")) << r.err.constData();
}
