#include "cli/RunDisplay.h"

#include "cli/Cli.h"
#include "util/Helpers.h"

#include <QJsonArray>
#include <QJsonObject>
#include <cstdio>
#include <unistd.h>

namespace kestrap::cli {

namespace {

// "1 file", "2 files": the summary is read by people; scripts read --json.
QString filesText(qint64 count)
{
    return count == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(count);
}

const ProgressRecord* recordFor(const std::vector<ProgressRecord>& records, const QString& uid)
{
    for (const auto& r : records)
        if (r.deviceid == uid)
            return &r;
    return nullptr;
}

void writeOut(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

}  // namespace

RunDisplay::RunDisplay(PortJob& job, const std::vector<DeviceRowPtr>& rows, bool json)
    : m_job(job), m_rows(rows), m_json(json), m_terminal(::isatty(STDOUT_FILENO) != 0)
{
}

QString RunDisplay::lineFor(const DeviceRow& row, const ProgressRecord& record) const
{
    QString file = record.device_file;
    const QString prefix = row.name + QStringLiteral(" << ");
    if (file.startsWith(prefix))
        file = file.mid(prefix.size());
    if (m_terminal && file.size() > 50)
        file = QStringLiteral("...") + file.right(47);
    QString line = QStringLiteral("%1  %2  file %3%  overall %4%  %5")
                       .arg(row.name, file)
                       .arg(record.file_progress)
                       .arg(record.overall_progress)
                       .arg(record.transfer_speed.isEmpty() ? QStringLiteral("-") : record.transfer_speed);
    if (record.ended != 0 && !record.error.isEmpty())
        line += QStringLiteral("  (%1)").arg(record.error);
    // Only the display's own cursor movements may reach the terminal as control sequences.
    return printableText(line);
}

void RunDisplay::refresh()
{
    if (m_json)
        return;
    const auto records = m_job.transferProgresses();
    if (m_terminal) {
        QString text;
        // Back to the first line drawn last time, clearing as we go.
        for (int i = 0; i < m_drawnLines; ++i)
            text += QStringLiteral("\x1b[1A\x1b[2K");
        // A device whose serving ended is said once, above the live lines: at a station the
        // operator sees which devices are done, and why one failed, while others go on.
        for (const auto& row : m_rows) {
            const ProgressRecord* r = recordFor(records, row->uid);
            if (!r || r->ended == 0 || m_saidEnded.value(row->uid) == r->ended)
                continue;
            m_saidEnded.insert(row->uid, r->ended);
            text += lineFor(*row, *r) + u'\n';
        }
        int lines = 0;
        for (const auto& row : m_rows) {
            const ProgressRecord* r = recordFor(records, row->uid);
            if (row->status != DeviceStatusTransferring || !r || r->ended != 0)
                continue;
            text += lineFor(*row, *r) + u'\n';
            ++lines;
        }
        m_drawnLines = lines;
        writeOut(text);
        return;
    }
    for (const auto& row : m_rows) {
        const ProgressRecord* r = recordFor(records, row->uid);
        if (!r || r->device_file.isEmpty())
            continue;
        Seen& seen = m_seen[row->uid];
        const int step = r->file_progress / 25;
        if (seen.deviceFile == r->device_file && seen.fileStep == step)
            continue;
        seen.deviceFile = r->device_file;
        seen.fileStep = step;
        writeOut(lineFor(*row, *r) + u'\n');
    }
}

void RunDisplay::finish()
{
    if (m_json)
        return;
    refresh();
    if (m_terminal) {
        QString text;
        for (int i = 0; i < m_drawnLines; ++i)
            text += QStringLiteral("\x1b[1A\x1b[2K");
        m_drawnLines = 0;
        writeOut(text);
    }
}

bool RunDisplay::printSummary()
{
    const auto records = m_job.transferProgresses();
    bool allGood = false;
    bool anyServed = false;
    allGood = true;
    QJsonArray devices;
    QStringList lines;
    for (const auto& row : m_rows) {
        const ProgressRecord* r = recordFor(records, row->uid);
        const ProgressRecord empty;
        const ProgressRecord& rec = r ? *r : empty;
        const bool excluded = row->status == DeviceStatusExcluded;
        const double seconds = rec.ended > rec.started && rec.started > 0 ? rec.ended - rec.started : 0;
        if (!excluded) {
            anyServed = anyServed || r;
            allGood = allGood && row->status == DeviceStatusFinished && rec.files_failed == 0;
        }
        QJsonObject o;
        o.insert(QStringLiteral("name"), row->name);
        o.insert(QStringLiteral("uid"), row->uid);
        o.insert(QStringLiteral("status"), row->status ? QJsonValue(*row->status) : QJsonValue());
        o.insert(QStringLiteral("statusText"), DeviceStatusText(row->status));
        o.insert(QStringLiteral("device_file"), rec.device_file);
        o.insert(QStringLiteral("files_sent"), rec.files_sent);
        o.insert(QStringLiteral("files_failed"), rec.files_failed);
        o.insert(QStringLiteral("files_skipped"), rec.files_skipped);
        o.insert(QStringLiteral("files_removed"), rec.files_removed);
        o.insert(QStringLiteral("transferred_size"), qint64(rec.transferred_size));
        o.insert(QStringLiteral("seconds"), seconds);
        if (row->doneTime)
            o.insert(QStringLiteral("done_time"), row->doneTime->toString(Qt::ISODate));
        if (!rec.error.isEmpty()) {
            o.insert(QStringLiteral("error"), rec.error);
            o.insert(QStringLiteral("errorDomain"), errorDomainName(rec.errorDomain));
            o.insert(QStringLiteral("errorCode"), rec.errorCode);
        }
        QJsonArray failed;
        for (const FileFailure& f : rec.failed_files)
            failed.append(QJsonObject {{QStringLiteral("path"), f.path}, {QStringLiteral("error"), f.cause},
                {QStringLiteral("errorDomain"), errorDomainName(f.domain)}, {QStringLiteral("errorCode"), f.code}});
        if (!failed.isEmpty())
            o.insert(QStringLiteral("failed_files"), failed);
        devices.append(o);
        const bool removing = m_job.runKind() == RunKind::Remove;
        QString counts = removing ? QStringLiteral("%1 removed").arg(filesText(rec.files_removed))
                                  : QStringLiteral("%1 sent").arg(filesText(rec.files_sent));
        if (!removing && rec.files_removed > 0)
            counts += QStringLiteral(", %1 removed").arg(rec.files_removed);
        counts += QStringLiteral(", %1 failed").arg(rec.files_failed);
        if (rec.files_skipped > 0)
            counts += (removing ? QStringLiteral(", %1 left alone") : QStringLiteral(", %1 unchanged"))
                          .arg(rec.files_skipped);
        if (!removing)
            counts += QStringLiteral(", ") + CapacityString(rec.transferred_size);
        lines << QStringLiteral("%1 (%2): %3, %4 in %5 s%6")
                     .arg(row->name, row->uid, DeviceStatusText(row->status), counts)
                     .arg(seconds, 0, 'f', 1)
                     .arg(rec.error.isEmpty() ? QString() : QStringLiteral(" (%1)").arg(rec.error));
        // The files that failed, each with its cause: the device's line names only the last.
        for (const FileFailure& f : rec.failed_files)
            lines << QStringLiteral("  %1: %2").arg(f.path, f.cause);
        if (const int more = rec.files_failed - int(rec.failed_files.size()); more > 0 && !rec.failed_files.empty())
            lines << QStringLiteral("  and %1 more").arg(more);
    }
    allGood = allGood && anyServed;
    if (m_json) {
        QJsonObject root;
        root.insert(QStringLiteral("devices"), devices);
        root.insert(QStringLiteral("totalFileSize"), qint64(m_job.totalFileSize()));
        root.insert(QStringLiteral("files"), qint64(m_job.singleFiles().size()));
        root.insert(QStringLiteral("success"), allGood);
        printJson(QJsonDocument(root));
    } else {
        printLine(QStringLiteral("Summary: %1, %2 per device")
                      .arg(filesText(qint64(m_job.singleFiles().size())))
                      .arg(CapacityString(m_job.totalFileSize())));
        for (const QString& line : lines)
            printLine(QStringLiteral("  ") + line);
        if (m_rows.empty())
            printLine(QStringLiteral("  No devices were connected."));
    }
    return allGood;
}

}  // namespace kestrap::cli
