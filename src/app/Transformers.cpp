#include "app/Transformers.h"

#include "job/Records.h"
#include "util/Helpers.h"

#include <QStringList>

namespace kestrap::app {

QString DeviceStatusTransformer(std::optional<int> status)
{
    return DeviceStatusText(status);
}

QString CapacityTransformer(std::optional<std::uint64_t> bytes)
{
    if (!bytes)
        return QStringLiteral("Zero");
    return CapacityString(*bytes);
}

QString TransferStateText(const ProgressRecord& record)
{
    switch (record.phase) {
    case CopyPhase::Waiting:
        return QStringLiteral("Waiting");
    case CopyPhase::Sending:
        return QStringLiteral("Sending");
    case CopyPhase::Finished:
        return record.files_failed > 0 ? QStringLiteral("Finished, %1 failed").arg(record.files_failed)
                                       : QStringLiteral("Finished");
    case CopyPhase::Failed:
        return record.error.isEmpty() ? QStringLiteral("Failed") : QStringLiteral("Failed: ") + record.error;
    case CopyPhase::Cancelled:
        return QStringLiteral("Cancelled");
    }
    return {};
}

QString TransferCountsText(const ProgressRecord& record)
{
    QStringList parts {QStringLiteral("%1 sent").arg(record.files_sent)};
    if (record.files_failed > 0)
        parts << QStringLiteral("%1 failed").arg(record.files_failed);
    if (record.files_skipped > 0)
        parts << QStringLiteral("%1 unchanged").arg(record.files_skipped);
    if (record.files_removed > 0)
        parts << QStringLiteral("%1 removed").arg(record.files_removed);
    return parts.join(QStringLiteral(", "));
}

}  // namespace kestrap::app
