#include "app/RunSummary.h"

#include "app/Transformers.h"

namespace kestrap::app {

QString RunSummary::headline() const
{
    const auto devices
        = [](int n) { return n == 1 ? QStringLiteral("1 device") : QStringLiteral("%1 devices").arg(n); };
    QString text = devices(finished + incomplete) + QStringLiteral(" finished");
    if (incomplete > 0)
        text += QStringLiteral(" (%1 with failed files)").arg(incomplete);
    text += QStringLiteral(", %1 failed").arg(failed);
    const int skipped = cancelled + excluded;
    if (skipped > 0)
        text += QStringLiteral(", %1 skipped").arg(skipped);
    return text + QLatin1Char('.');
}

namespace {

// The files a device did not get, under its line: as many as the record kept, then the count
// of the others.
void listFailedFiles(const ProgressRecord& r, QStringList& lines)
{
    for (const FileFailure& f : r.failed_files)
        lines << QStringLiteral("    ") + f.path + QStringLiteral(": ") + f.cause;
    const int more = r.files_failed - int(r.failed_files.size());
    if (more > 0 && !r.failed_files.empty())
        lines << QStringLiteral("    and %1 more").arg(more);
}

}  // namespace

RunSummary RunSummarizer::summarize(const std::vector<ProgressRecord>& records, const NameOf& nameOf, int excluded)
{
    RunSummary summary;
    summary.excluded = excluded;
    for (const ProgressRecord& r : records) {
        if (r.ended == 0 || r.phase == CopyPhase::Waiting || r.phase == CopyPhase::Sending)
            continue;
        auto told = m_told.find(r.deviceid);
        if (told != m_told.end() && told->second == r.ended)
            continue;
        m_told[r.deviceid] = r.ended;
        const QString line = nameOf(r.deviceid) + QStringLiteral(": ") + TransferStateText(r);
        switch (r.phase) {
        case CopyPhase::Finished:
            if (r.files_failed > 0) {
                ++summary.incomplete;
                // The files say why; a record without them says it by its last cause.
                const bool why = r.failed_files.empty() && !r.error.isEmpty();
                summary.problems << (why ? line + QStringLiteral(" (") + r.error + u')' : line);
                listFailedFiles(r, summary.problems);
            } else {
                ++summary.finished;
            }
            break;
        case CopyPhase::Failed:
            ++summary.failed;
            summary.problems << line;
            listFailedFiles(r, summary.problems);
            break;
        case CopyPhase::Cancelled:
            ++summary.cancelled;
            break;
        default:
            break;
        }
    }
    return summary;
}

}  // namespace kestrap::app
