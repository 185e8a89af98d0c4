// kestrap-cli log: the event log, as the log window shows it.

#include "cli/Cli.h"
#include "logging/DBLogReader.h"

#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QThread>
#include <cmath>
#include <cstdio>

namespace kestrap::cli {

namespace {

const QString kUsage = QStringLiteral("log [--tail N] [--since ISO-DATE] [--follow] [--json]");

QJsonObject toJson(const DBLogEntry& e)
{
    QJsonObject o;
    o[QStringLiteral("level")] = e.level();
    o[QStringLiteral("levelString")] = e.levelString();
    o[QStringLiteral("message")] = e.message();
    o[QStringLiteral("timestamp")] = e.hasTimestamp() ? QJsonValue(e.TimeStamp()) : QJsonValue();
    o[QStringLiteral("date")] = e.date();
    return o;
}

void printEntry(const DBLogEntry& e, bool json)
{
    if (json)
        printLine(QString::fromUtf8(QJsonDocument(toJson(e)).toJson(QJsonDocument::Compact)));
    else
        printLine(QStringLiteral("%1 %2  %3").arg(e.levelString(), -6).arg(e.date(), e.message()));
    std::fflush(stdout);
}

// ISO 8601 date or date and time; without a zone it is local time.
bool parseSince(const QString& text, double* seconds)
{
    QDateTime dt = QDateTime::fromString(text, Qt::ISODateWithMs);
    if (!dt.isValid())
        dt = QDateTime::fromString(text, Qt::ISODate);
    if (!dt.isValid()) {
        const QDate d = QDate::fromString(text, Qt::ISODate);
        if (d.isValid())
            dt = d.startOfDay();
    }
    if (!dt.isValid())
        return false;
    *seconds = double(dt.toMSecsSinceEpoch()) / 1000.0;
    return true;
}

int log(const QStringList& args)
{
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Prints the event log, oldest first. The log folder is $KESTRAP_LOG_DIR, else $XDG_STATE_HOME/Kestrap."));
    const QCommandLineOption tail(QStringLiteral("tail"), QStringLiteral("Newest entries to print (default 3000)."),
        QStringLiteral("N"), QStringLiteral("3000"));
    const QCommandLineOption since(
        QStringLiteral("since"), QStringLiteral("Only entries later than this ISO date."), QStringLiteral("ISO-DATE"));
    const QCommandLineOption follow(
        QStringLiteral("follow"), QStringLiteral("Keep printing new entries as they arrive, until interrupted."));
    const QCommandLineOption json(
        QStringLiteral("json"), QStringLiteral("JSON: an array of entries; with --follow one entry object per line."));
    p.addOptions({tail, since, follow, json});
    int code = 0;
    if (!parse(p, kUsage, args, &code))
        return code;
    if (!p.positionalArguments().isEmpty())
        return usageError(QStringLiteral("log takes no arguments."), kUsage);
    bool ok = false;
    const qint64 count = p.value(tail).toLongLong(&ok);
    if (!ok || count < 0)
        return usageError(QStringLiteral("--tail takes a whole number."), kUsage);
    double sinceSeconds = 0;
    if (p.isSet(since) && !parseSince(p.value(since), &sinceSeconds))
        return usageError(QStringLiteral("--since takes an ISO 8601 date, such as 2026-12-06T17:30:00."), kUsage);

    DBLogReader reader;
    // A log that was never written is empty, not an error; --follow waits for it.
    QString error;
    const auto load = [&](const double* laterThan, qint64 limit) {
        if (!QFileInfo::exists(reader.databasePath()))
            return std::vector<DBLogEntry> {};
        return laterThan ? reader.loadFrom(0, limit, *laterThan, &error) : reader.loadFrom(0, limit, true, &error);
    };
    std::vector<DBLogEntry> entries = load(p.isSet(since) ? &sinceSeconds : nullptr, count);
    if (!error.isEmpty())
        return fail(error, reader.databasePath());
    const bool asJson = p.isSet(json);
    if (asJson && !p.isSet(follow)) {
        QJsonArray array;
        for (const DBLogEntry& e : entries)
            array.append(toJson(e));
        printJson(QJsonDocument(array));
        return kExitOk;
    }
    for (const DBLogEntry& e : entries)
        printEntry(e, asJson);
    if (!p.isSet(follow))
        return kExitOk;

    // Rows are written at most once a second; polling at that pace shows them as they land.
    // What was there before is behind us even when --tail showed none of it.
    double last = p.isSet(since) ? sinceSeconds : -INFINITY;
    for (const DBLogEntry& e : p.isSet(since) || count > 0 ? entries : load(nullptr, 1))
        if (e.hasTimestamp())
            last = std::max(last, e.TimeStamp());
    constexpr qint64 kFollowBatch = 3000;
    for (;;) {
        QThread::msleep(500);
        entries = std::isinf(last) ? load(nullptr, kFollowBatch) : load(&last, kFollowBatch);
        if (!error.isEmpty())
            return fail(error, reader.databasePath());
        for (const DBLogEntry& e : entries) {
            printEntry(e, asJson);
            if (e.hasTimestamp())
                last = std::max(last, e.TimeStamp());
        }
    }
}

const Registration reg(QStringLiteral("log"), QStringLiteral("print the event log"), log);

}  // namespace

}  // namespace kestrap::cli
