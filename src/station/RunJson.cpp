#include "station/RunJson.h"

#include "device/DeviceTypes.h"

#include <QJsonArray>

namespace kestrap::station {

QString DeviceFileText(const DeviceProgress& device)
{
    switch (device.record.phase) {
    case CopyPhase::Waiting:
        return {};
    case CopyPhase::Sending:
        return device.record.current_file.isEmpty() ? QString()
                                                    : device.name + QStringLiteral(" << ") + device.record.current_file;
    case CopyPhase::Finished:
        return device.name + QStringLiteral(" - Finished");
    case CopyPhase::Failed:
        return device.name + QStringLiteral(" - Failed");
    case CopyPhase::Cancelled:
        return device.name + QStringLiteral(" - Cancelled");
    }
    return {};
}

namespace {

QJsonObject causeJson(const QString& text, ErrorDomain domain, int code)
{
    return QJsonObject {{QStringLiteral("error"), text}, {QStringLiteral("errorDomain"), errorDomainName(domain)},
        {QStringLiteral("errorCode"), code}};
}

}  // namespace

QJsonObject DeviceJson(const DeviceProgress& device)
{
    const ProgressRecord& rec = device.record;
    QJsonObject o;
    o.insert(QStringLiteral("name"), device.name);
    o.insert(QStringLiteral("uid"), device.uid);
    o.insert(QStringLiteral("productType"), device.productType);
    o.insert(QStringLiteral("model"), device.productType.isEmpty() ? device.icon : MarketingName(device.productType));
    o.insert(QStringLiteral("status"), device.status ? QJsonValue(*device.status) : QJsonValue());
    o.insert(QStringLiteral("statusText"), DeviceStatusText(device.status));
    o.insert(QStringLiteral("state"), DeviceStateName(device.state));
    o.insert(QStringLiteral("phase"), CopyPhaseName(rec.phase));
    o.insert(QStringLiteral("device_file"), DeviceFileText(device));
    o.insert(QStringLiteral("current_file"), rec.current_file);
    o.insert(QStringLiteral("file_progress"), rec.file_progress);
    o.insert(QStringLiteral("overall_progress"), rec.overall_progress);
    o.insert(QStringLiteral("speed"), rec.speed ? QJsonValue(qint64(*rec.speed)) : QJsonValue());
    o.insert(QStringLiteral("files_sent"), rec.files_sent);
    o.insert(QStringLiteral("files_failed"), rec.files_failed);
    o.insert(QStringLiteral("files_skipped"), rec.files_skipped);
    o.insert(QStringLiteral("files_removed"), rec.files_removed);
    o.insert(QStringLiteral("transferred_size"), qint64(rec.transferred_size));
    o.insert(QStringLiteral("seconds"), device.seconds());
    if (device.doneTime)
        o.insert(QStringLiteral("done_time"), device.doneTime->toString(Qt::ISODate));
    if (!rec.error.isEmpty()) {
        const QJsonObject cause = causeJson(rec.error, rec.errorDomain, rec.errorCode);
        for (auto it = cause.begin(); it != cause.end(); ++it)
            o.insert(it.key(), it.value());
    }
    QJsonArray failed;
    for (const FileFailure& f : rec.failed_files) {
        QJsonObject one = causeJson(f.cause, f.domain, f.code);
        one.insert(QStringLiteral("path"), f.path);
        failed.append(one);
    }
    if (!failed.isEmpty())
        o.insert(QStringLiteral("failed_files"), failed);
    return o;
}

}  // namespace kestrap::station
