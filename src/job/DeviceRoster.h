#pragma once

#include "device/iMobileDevice.h"
#include "job/Records.h"

#include <QObject>
#include <QPointer>
#include <memory>
#include <vector>

namespace kestrap {

class JobDocument;
class PortJob;

// The connected devices as both front ends list them: one row per device the device
// manager accepts, in order of arrival, with "n/a" for a missing name or uid and the icon
// name of its kind. It links them to the job: it keeps the rows' "Excluded" marks in step
// with the document's excluded devices and tells the runner which devices those are, hands
// rows that arrive while the runner works to its queue, and takes rows of devices that go
// out of it. Rows are shared with the runner, which sets their transfer status; the roster
// forwards those changes as rowChanged.
//
// Threads: the job's thread (the main thread), where the device manager calls its delegate.
class DeviceRoster : public QObject, public DeviceManagerDelegate {
    Q_OBJECT

public:
    explicit DeviceRoster(QObject* parent = nullptr);
    ~DeviceRoster() override;

    // The document and runner the rows belong to (neither owned; both or neither). Giving a
    // new document (New, Open) marks the rows anew: "Excluded" where it excludes the device,
    // "Idle" where only the old one did; transfer statuses stay.
    void setJob(JobDocument* document, PortJob* runner);
    JobDocument* document() const;
    PortJob* runner() const;

    const std::vector<DeviceRowPtr>& rows() const { return m_rows; }
    int indexOf(const DeviceRow* row) const;

    // Leaves the device of that row out of the job and marks it. Nothing for a bad index.
    void excludeRow(int index);
    // Takes the document's excluded device at that index back.
    void includeExcluded(int index);
    // Takes the device of that row back into the job; a runner at work queues it. Nothing
    // for a bad index or a device that is not excluded.
    void includeRow(int index);
    // Hands every row, in order, to the runner's queue (which skips excluded devices).
    void queueAll();

    void DeviceAdded(const std::shared_ptr<iMobileDevice>& device) override;
    void DeviceRemoved(const std::shared_ptr<iMobileDevice>& device) override;
    void DeviceChanged(const std::shared_ptr<iMobileDevice>& device) override;
    void DevicesNotReadyChanged(const std::vector<NotReadyDevice>& devices) override;
    // The devices attached but not ready, as the device manager last told them.
    const std::vector<NotReadyDevice>& notReady() const { return m_notReady; }

signals:
    void rowAboutToBeAdded(int index);
    void rowAdded(int index);
    void rowAboutToBeRemoved(int index);
    void rowRemoved(int index);
    // The row's status, done time or mark changed, or what its device tells of itself.
    void rowChanged(int index);
    void notReadyChanged();

private:
    void syncExcluded();
    void onDeviceStatusChanged(const DeviceRowPtr& row);

    QPointer<JobDocument> m_document;
    QPointer<PortJob> m_runner;
    std::vector<DeviceRowPtr> m_rows;
    std::vector<NotReadyDevice> m_notReady;
    std::vector<QMetaObject::Connection> m_jobConnections;
};

}  // namespace kestrap
