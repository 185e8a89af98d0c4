#include "job/PortJob.h"

#include "device/iMobileDevice.h"

namespace kestrap {

PortJob::PortJob(QObject* controller)
    : QObject(nullptr)
    , m_controller(controller)
    , m_allowedPattern(QStringLiteral("*"))
    , m_ignoredPattern(QStringLiteral(""))
{
    // Registered here, on the main thread, rather than lazily by the first copy threads at once.
    qRegisterMetaType<ProgressRecordPtr>();
    setStatusMessage(QStringLiteral("Not running!"));
}

PortJob::~PortJob()
{
    // Copy threads use the job to the end; a job that goes while it works stops them first.
    stop();
}

#define KESTRAP_SETTER(Setter, member, key)                                                                            \
    void PortJob::Setter(const decltype(member)& value)                                                                \
    {                                                                                                                  \
        willChange(QStringLiteral(key));                                                                               \
        member = value;                                                                                                \
        didChange(QStringLiteral(key));                                                                                \
    }

KESTRAP_SETTER(setAppId, m_appId, "appId")
KESTRAP_SETTER(setFolder, m_folder, "folder")
KESTRAP_SETTER(setAllowedPattern, m_allowedPattern, "allowedPattern")
KESTRAP_SETTER(setIgnoredPattern, m_ignoredPattern, "ignoredPattern")
KESTRAP_SETTER(setSavedFilePath, m_savedFilePath, "savedFilePath")
KESTRAP_SETTER(setStatusMessage, m_statusMessage, "statusMessage")
#undef KESTRAP_SETTER

void PortJob::setIsAllowedPatternRegex(bool on)
{
    willChange(QStringLiteral("isAllowedPatternRegex"));
    m_isAllowedPatternRegex = on;
    didChange(QStringLiteral("isAllowedPatternRegex"));
}

void PortJob::setIsIgnoredPatternRegex(bool on)
{
    willChange(QStringLiteral("isIgnoredPatternRegex"));
    m_isIgnoredPatternRegex = on;
    didChange(QStringLiteral("isIgnoredPatternRegex"));
}

void PortJob::setIsRecursive(bool on)
{
    willChange(QStringLiteral("isRecursive"));
    m_isRecursive = on;
    didChange(QStringLiteral("isRecursive"));
}

void PortJob::setRecursiveDepth(std::int32_t depth)
{
    willChange(QStringLiteral("recursiveDepth"));
    m_recursiveDepth = depth;
    didChange(QStringLiteral("recursiveDepth"));
}

QString PortJob::actionButtonTitle() const
{
    return m_isWorking ? QStringLiteral("Stop") : QStringLiteral("Start");
}

bool PortJob::isDeviceExcluded(const QString& uid) const
{
    for (const ExcludedDevice& e : m_excludedDevices)
        if (e.uid == uid)
            return true;
    return false;
}

void PortJob::excludeDevice(const DeviceRow& row)
{
    if (isDeviceExcluded(row.uid))
        return;
    ExcludedDevice record;
    record.name = row.name;
    record.uid = row.uid;
    record.icon = row.icon;
    if (row.device)
        record.type = row.device->deviceType();
    if (row.status)
        record.status = qint64(*row.status);
    if (row.doneTime)
        record.doneTime = *row.doneTime;
    m_excludedDevices.push_back(std::move(record));
}

void PortJob::includeDeviceAtIndex(std::int32_t index)
{
    if (index < 0 || std::size_t(index) >= m_excludedDevices.size())
        return;
    m_excludedDevices.erase(m_excludedDevices.begin() + index);
}

void PortJob::setLastError(const QString& domain, int code, const QString& description, const QString& reason)
{
    m_lastError = JobError {domain, code, description, reason};
}

}  // namespace kestrap
