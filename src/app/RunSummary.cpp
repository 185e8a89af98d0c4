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
                summary.problems << (r.error.isEmpty() ? line : line + QStringLiteral(" (") + r.error + u')');
            } else {
                ++summary.finished;
            }
            break;
        case CopyPhase::Failed:
            ++summary.failed;
            summary.problems << line;
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
