#include "job/Records.h"

namespace kestrap {

QString DeviceStatusText(std::optional<int> status)
{
    if (!status)
        return QStringLiteral("Idle");
    switch (*status) {
    case DeviceStatusIdle:
        return QStringLiteral("Idle");
    case DeviceStatusExcluded:
        return QStringLiteral("Excluded");
    case DeviceStatusTransferring:
        return QStringLiteral("Transferring");
    case DeviceStatusFinished:
        return QStringLiteral("Finished");
    case DeviceStatusFailed:
        return QStringLiteral("Failed");
    default:
        return QStringLiteral("Unknown");
    }
}

QString DeviceStatusText(const QVariant& status)
{
    if (!status.isValid() || status.isNull())
        return QStringLiteral("Idle");
    switch (status.typeId()) {
    case QMetaType::Int:
    case QMetaType::UInt:
    case QMetaType::LongLong:
    case QMetaType::ULongLong: {
        bool ok = false;
        const qlonglong v = status.toLongLong(&ok);
        if (!ok || v < INT_MIN || v > INT_MAX)
            return QStringLiteral("Unknown");
        return DeviceStatusText(std::optional<int>(int(v)));
    }
    default:
        return QStringLiteral("Unknown");
    }
}

}  // namespace kestrap
