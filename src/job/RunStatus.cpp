#include "job/RunStatus.h"

#include <QHash>

namespace kestrap {

double DeviceProgress::seconds() const
{
    return record.ended > record.started && record.started > 0 ? record.ended - record.started : 0;
}

DeviceState DeviceStateOf(const DeviceRow& row, const ProgressRecord* record)
{
    switch (row.status.value_or(DeviceStatusIdle)) {
    case DeviceStatusExcluded:
        return DeviceState::Excluded;
    case DeviceStatusTransferring:
        // A serving cut short by a stop keeps its row's status; its record says it is over.
        if (record && record->phase == CopyPhase::Cancelled)
            return DeviceState::Waiting;
        return DeviceState::Sending;
    case DeviceStatusFinished:
        return DeviceState::Finished;
    case DeviceStatusFailed:
        return DeviceState::Failed;
    default:
        return DeviceState::Waiting;
    }
}

RunStatus RunStatusOf(const std::vector<DeviceRowPtr>& rows, const std::vector<ProgressRecord>& records)
{
    QHash<QString, const ProgressRecord*> byUid;
    for (const ProgressRecord& r : records)
        byUid.insert(r.deviceid, &r);
    RunStatus status;
    status.devices.reserve(rows.size());
    for (const DeviceRowPtr& row : rows) {
        const ProgressRecord* record = byUid.value(row->uid);
        DeviceProgress d;
        d.uid = row->uid;
        d.name = row->name;
        d.productType = row->productType;
        d.icon = row->icon;
        d.status = row->status;
        d.doneTime = row->doneTime;
        d.state = DeviceStateOf(*row, record);
        d.served = record != nullptr;
        if (record)
            d.record = *record;
        switch (d.state) {
        case DeviceState::Waiting:
            ++status.counts.waiting;
            break;
        case DeviceState::Sending:
            ++status.counts.sending;
            break;
        case DeviceState::Finished:
            ++status.counts.finished;
            break;
        case DeviceState::Failed:
            ++status.counts.failed;
            break;
        case DeviceState::Excluded:
            ++status.counts.excluded;
            break;
        }
        status.devices.push_back(std::move(d));
    }
    return status;
}

QString DeviceStateName(DeviceState state)
{
    switch (state) {
    case DeviceState::Waiting:
        return QStringLiteral("waiting");
    case DeviceState::Sending:
        return QStringLiteral("sending");
    case DeviceState::Finished:
        return QStringLiteral("finished");
    case DeviceState::Failed:
        return QStringLiteral("failed");
    case DeviceState::Excluded:
        return QStringLiteral("excluded");
    }
    return {};
}

QString CopyPhaseName(CopyPhase phase)
{
    switch (phase) {
    case CopyPhase::Waiting:
        return QStringLiteral("waiting");
    case CopyPhase::Sending:
        return QStringLiteral("sending");
    case CopyPhase::Finished:
        return QStringLiteral("finished");
    case CopyPhase::Failed:
        return QStringLiteral("failed");
    case CopyPhase::Cancelled:
        return QStringLiteral("cancelled");
    }
    return {};
}

}  // namespace kestrap
