#include "cli/RunDisplay.h"

#include "cli/Cli.h"
#include "station/RunJson.h"
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

void writeOut(const QString& text)
{
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

// What the line says in place of a file once a serving ended.
QString endText(CopyPhase phase)
{
    switch (phase) {
    case CopyPhase::Finished:
        return QStringLiteral("- Finished");
    case CopyPhase::Failed:
        return QStringLiteral("- Failed");
    case CopyPhase::Cancelled:
        return QStringLiteral("- Cancelled");
    case CopyPhase::Waiting:
    case CopyPhase::Sending:
        break;
    }
    return {};
}

}  // namespace

RunDisplay::RunDisplay(PortJob& job, const std::vector<DeviceRowPtr>& rows, bool json)
    : m_job(job), m_rows(rows), m_json(json), m_terminal(::isatty(STDOUT_FILENO) != 0)
{
}

RunStatus RunDisplay::status() const
{
    return RunStatusOf(m_rows, m_job.transferProgresses());
}

QString RunDisplay::lineFor(const DeviceProgress& device) const
{
    const ProgressRecord& record = device.record;
    // An ended serving reads "NAME - Finished" where the file was, as station journals always had it.
    QString file
        = record.phase == CopyPhase::Sending ? record.current_file : device.name + u' ' + endText(record.phase);
    if (m_terminal && file.size() > 50)
        file = QStringLiteral("...") + file.right(47);
    const QString speed = record.speed ? CapacityString(*record.speed) + QStringLiteral(" /s") : QStringLiteral("-");
    QString line = QStringLiteral("%1  %2  file %3%  overall %4%  %5")
                       .arg(device.name, file)
                       .arg(record.file_progress)
                       .arg(record.overall_progress)
                       .arg(speed);
    if (record.ended != 0 && !record.error.isEmpty())
        line += QStringLiteral("  (%1)").arg(record.error);
    // Only the display's own cursor movements may reach the terminal as control sequences.
    return printableText(line);
}

void RunDisplay::refresh()
{
    if (m_json)
        return;
    const RunStatus now = status();
    if (m_terminal) {
        QString text;
        // Back to the first line drawn last time, clearing as we go.
        for (int i = 0; i < m_drawnLines; ++i)
            text += QStringLiteral("\x1b[1A\x1b[2K");
        // A device whose serving ended is said once, above the live lines: at a station the
        // operator sees which devices are done, and why one failed, while others go on.
        for (const DeviceProgress& d : now.devices) {
            if (!d.served || d.record.ended == 0 || m_saidEnded.value(d.uid) == d.record.ended)
                continue;
            m_saidEnded.insert(d.uid, d.record.ended);
            text += lineFor(d) + u'\n';
        }
        int lines = 0;
        for (const DeviceProgress& d : now.devices) {
            if (d.status != DeviceStatusTransferring || !d.served || d.record.ended != 0)
                continue;
            text += lineFor(d) + u'\n';
            ++lines;
        }
        m_drawnLines = lines;
        writeOut(text);
        return;
    }
    for (const DeviceProgress& d : now.devices) {
        const bool ended = d.record.ended != 0;
        if (!d.served || (!ended && d.record.current_file.isEmpty()))
            continue;
        Seen& seen = m_seen[d.uid];
        const QString file = ended ? endText(d.record.phase) : d.record.current_file;
        const int step = d.record.file_progress / 25;
        if (seen.file == file && seen.fileStep == step)
            continue;
        seen.file = file;
        seen.fileStep = step;
        writeOut(lineFor(d) + u'\n');
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
    const RunStatus now = status();
    bool allGood = true;
    bool anyServed = false;
    QJsonArray devices;
    QStringList lines;
    for (const DeviceProgress& d : now.devices) {
        const ProgressRecord& rec = d.record;
        if (d.state != DeviceState::Excluded) {
            anyServed = anyServed || d.served;
            allGood = allGood && d.status == DeviceStatusFinished && rec.files_failed == 0;
        }
        devices.append(station::DeviceJson(d));
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
                     .arg(d.name, d.uid, DeviceStatusText(d.status), counts)
                     .arg(d.seconds(), 0, 'f', 1)
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
