#include "job/RunReport.h"

#include "device/DeviceTypes.h"
#include "device/iMobileDevice.h"

#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

namespace kestrap {

namespace RunReport {

namespace {

const QString kReportDomain = QStringLiteral("Report");

// A field quoted when it must be, its quotes doubled: a device named "Lab, \"B\"" with a
// line break stays one field of one row.
QString csvField(const QString& value)
{
    if (!value.contains(u',') && !value.contains(u'"') && !value.contains(u'\n') && !value.contains(u'\r'))
        return value;
    QString quoted = value;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QString secondsText(double seconds)
{
    return QString::number(seconds, 'f', 1);
}

}  // namespace

Row rowOf(const DeviceRow& row, const ProgressRecord* record)
{
    Row r;
    r.name = row.name;
    r.udid = row.uid;
    if (const std::shared_ptr<iMobileDevice>& device = row.device) {
        r.serialNumber = device->serialNumber();
        r.model = MarketingName(device->productType());
        r.osVersion = device->osVersion();
        r.hubPlace = device->hubPlace();
    }
    r.status = DeviceStatusText(row.status);
    if (!record)
        return r;
    r.sent = record->files_sent;
    r.unchanged = record->files_skipped;
    r.removed = record->files_removed;
    r.failed = record->files_failed;
    r.bytes = record->transferred_size;
    r.seconds = record->ended > record->started && record->started > 0 ? record->ended - record->started : 0;
    r.firstCause = record->failed_files.empty() ? record->error : record->failed_files.front().cause;
    return r;
}

QByteArray toCsv(const std::vector<Row>& rows)
{
    QString text = QStringLiteral("name,udid,serial_number,model,ios_version,hub_place,status,files_sent,"
                                  "files_unchanged,files_removed,files_failed,bytes,seconds,first_cause\r\n");
    for (const Row& r : rows) {
        const QStringList fields {csvField(r.name), csvField(r.udid), csvField(r.serialNumber), csvField(r.model),
            csvField(r.osVersion), csvField(r.hubPlace), csvField(r.status), QString::number(r.sent),
            QString::number(r.unchanged), QString::number(r.removed), QString::number(r.failed),
            QString::number(r.bytes), secondsText(r.seconds), csvField(r.firstCause)};
        text += fields.join(u',') + QStringLiteral("\r\n");
    }
    return text.toUtf8();
}

QByteArray toJson(const std::vector<Row>& rows)
{
    QJsonArray devices;
    for (const Row& r : rows)
        devices.append(QJsonObject {
            {QStringLiteral("name"), r.name},
            {QStringLiteral("udid"), r.udid},
            {QStringLiteral("serial_number"), r.serialNumber},
            {QStringLiteral("model"), r.model},
            {QStringLiteral("ios_version"), r.osVersion},
            {QStringLiteral("hub_place"), r.hubPlace},
            {QStringLiteral("status"), r.status},
            {QStringLiteral("files_sent"), r.sent},
            {QStringLiteral("files_unchanged"), r.unchanged},
            {QStringLiteral("files_removed"), r.removed},
            {QStringLiteral("files_failed"), r.failed},
            {QStringLiteral("bytes"), qint64(r.bytes)},
            {QStringLiteral("seconds"), r.seconds},
            {QStringLiteral("first_cause"), r.firstCause},
        });
    return QJsonDocument(QJsonObject {{QStringLiteral("devices"), devices}}).toJson();
}

JobResult checkWritable(const QString& path)
{
    const QFileInfo info(path);
    const QFileInfo folder(info.absolutePath());
    if (info.fileName().isEmpty() || info.isDir())
        return JobError {kReportDomain, -1, QStringLiteral("The report must name a file."), path};
    if (!folder.isDir())
        return JobError {kReportDomain, -2, QStringLiteral("The report's folder does not exist."), folder.filePath()};
    if (!folder.isWritable() || (info.exists() && !info.isWritable()))
        return JobError {kReportDomain, -3, QStringLiteral("The report cannot be written there."), path};
    return {};
}

JobResult write(const QString& path, const std::vector<Row>& rows)
{
    if (const JobResult writable = checkWritable(path); !writable)
        return writable;
    const QByteArray content = path.endsWith(QLatin1String(".json"), Qt::CaseInsensitive) ? toJson(rows) : toCsv(rows);
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit())
        return JobError {kReportDomain, -4, QStringLiteral("The report could not be written."), file.errorString()};
    return {};
}

}  // namespace RunReport

}  // namespace kestrap
