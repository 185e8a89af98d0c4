#include "job/DeviceRoster.h"

#include "device/DeviceTypes.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "logging/Log.h"

namespace kestrap {

namespace {

QString validString(const QString& s)
{
    return s.isEmpty() ? QStringLiteral("n/a") : s;
}

}  // namespace

DeviceRoster::DeviceRoster(QObject* parent) : QObject(parent) { }

DeviceRoster::~DeviceRoster() = default;

void DeviceRoster::setJob(JobDocument* document, PortJob* runner)
{
    for (const auto& c : m_jobConnections)
        disconnect(c);
    m_jobConnections.clear();
    m_document = document;
    m_runner = runner;
    if (document)
        m_jobConnections.push_back(
            connect(document, &JobDocument::excludedDevicesChanged, this, &DeviceRoster::syncExcluded));
    if (runner)
        m_jobConnections.push_back(
            connect(runner, &PortJob::deviceStatusChanged, this, &DeviceRoster::onDeviceStatusChanged));
    syncExcluded();
}

JobDocument* DeviceRoster::document() const
{
    return m_document;
}

PortJob* DeviceRoster::runner() const
{
    return m_runner;
}

int DeviceRoster::indexOf(const DeviceRow* row) const
{
    for (std::size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i].get() == row)
            return int(i);
    return -1;
}

void DeviceRoster::syncExcluded()
{
    // The runner first: a device left out must be out of its queue before anything else
    // hears of it.
    if (m_runner)
        m_runner->setExcludedDevices(m_document ? m_document->excludedUids() : QStringList {});
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        DeviceRow& row = *m_rows[i];
        const bool excluded = m_document && m_document->isDeviceExcluded(row.uid);
        if (excluded && row.status != DeviceStatusExcluded) {
            row.status = DeviceStatusExcluded;
        } else if (!excluded && row.status == DeviceStatusExcluded) {
            row.status = DeviceStatusIdle;
        } else {
            continue;
        }
        emit rowChanged(int(i));
    }
}

void DeviceRoster::onDeviceStatusChanged(const DeviceRowPtr& row)
{
    const int index = indexOf(row.get());
    if (index >= 0)
        emit rowChanged(index);
}

void DeviceRoster::excludeRow(int index)
{
    if (!m_document || index < 0 || std::size_t(index) >= m_rows.size())
        return;
    const DeviceRowPtr& row = m_rows[std::size_t(index)];
    row->status = DeviceStatusExcluded;
    emit rowChanged(index);
    m_document->excludeDevice(*row);
}

void DeviceRoster::includeExcluded(int index)
{
    if (m_document)
        m_document->includeDeviceAtIndex(index);
}

void DeviceRoster::includeRow(int index)
{
    if (!m_document || index < 0 || std::size_t(index) >= m_rows.size())
        return;
    const DeviceRowPtr row = m_rows[std::size_t(index)];
    const auto& excluded = m_document->excludedDevices();
    for (std::size_t i = 0; i < excluded.size(); ++i) {
        if (excluded[i].uid == row->uid) {
            m_document->includeDeviceAtIndex(std::int32_t(i));
            if (m_runner && m_runner->isWorking())
                m_runner->addDeviceToQueue(row);
            return;
        }
    }
}

void DeviceRoster::queueAll()
{
    if (!m_runner)
        return;
    for (const auto& row : m_rows)
        m_runner->addDeviceToQueue(row);
}

void DeviceRoster::DeviceAdded(const std::shared_ptr<iMobileDevice>& device)
{
    auto row = std::make_shared<DeviceRow>();
    row->device = device;
    row->name = validString(device->name());
    row->uid = validString(device->uuid());
    row->icon = DeviceIconName(device->deviceType());
    row->productType = device->productType();
    KLOG_INFO("New Device Connected: %1", row->name);
    // The mark comes at once rather than at the document's next change, so a device plugged in
    // while the list is on screen never shows "Idle" for a moment.
    if (m_document && m_document->isDeviceExcluded(row->uid))
        row->status = DeviceStatusExcluded;
    const int index = int(m_rows.size());
    emit rowAboutToBeAdded(index);
    m_rows.push_back(row);
    emit rowAdded(index);
    if (m_runner && m_runner->isWorking())
        m_runner->addDeviceToQueue(row);
}

void DeviceRoster::DeviceRemoved(const std::shared_ptr<iMobileDevice>& device)
{
    KLOG_WARN("Device Removed: %1", validString(device->name()));
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i]->device != device)
            continue;
        const DeviceRowPtr row = m_rows[i];
        if (m_runner)
            m_runner->removeDeviceFromQueue(row);
        emit rowAboutToBeRemoved(int(i));
        m_rows.erase(m_rows.begin() + std::ptrdiff_t(i));
        emit rowRemoved(int(i));
        return;
    }
}

void DeviceRoster::DeviceChanged(const std::shared_ptr<iMobileDevice>& device)
{
    for (std::size_t i = 0; i < m_rows.size(); ++i)
        if (m_rows[i]->device == device)
            emit rowChanged(int(i));
}

void DeviceRoster::DevicesNotReadyChanged(const std::vector<NotReadyDevice>& devices)
{
    if (devices == m_notReady)
        return;
    m_notReady = devices;
    emit notReadyChanged();
}

}  // namespace kestrap
