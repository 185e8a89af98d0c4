#pragma once

#include "device/ios/iPhoneDevice.h"
#include "device/ios/sim/SimMobileDeviceService.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <memory>

// A device farm in a temporary folder, with its simulated service, for tests of anything
// that talks to iOS devices. Tests that wait for hot plug need a QCoreApplication (link
// support/QtTestMain.cpp instead of gtest_main).
class TestFarm {
public:
    QString path() const { return m_dir.path(); }

    // Adds a plugged-in device; answers its udid. Names default to "Device N".
    QString addDevice(kestrap::sim::SimDeviceSpec model = {})
    {
        ++m_count;
        if (model.udid.isEmpty())
            model.udid = QStringLiteral("%1").arg(m_count, 40, 10, QLatin1Char('0'));
        if (model.name.isEmpty())
            model.name = QStringLiteral("Device %1").arg(m_count);
        QString error;
        if (!kestrap::sim::createDevice(path(), model, &error))
            qFatal("%s", qPrintable(error));
        return model.udid;
    }

    // An iPhone with the given apps (App Store apps that share files unless told), not jailbroken.
    QString addPhone(std::vector<kestrap::sim::SimAppSpec> apps = {}, bool jailbroken = false)
    {
        kestrap::sim::SimDeviceSpec model;
        model.apps = std::move(apps);
        model.jailbroken = jailbroken;
        return addDevice(model);
    }

    // The host folder behind a device's media area, an app's container or its Root.
    QString media(const QString& udid) const { return QDir(path()).filePath(udid + QStringLiteral("/Media")); }
    QString container(const QString& udid, const QString& bundleId) const
    {
        return QDir(path()).filePath(udid + QStringLiteral("/Containers/") + bundleId);
    }

    // Serves the farm through a service of the test's own (one that stages a fault the
    // farm's settings cannot express); before the first device is opened.
    void useService(std::shared_ptr<kestrap::sim::SimMobileDeviceService> service) { m_service = std::move(service); }

    const std::shared_ptr<kestrap::sim::SimMobileDeviceService>& service()
    {
        if (!m_service)
            m_service = std::make_shared<kestrap::sim::SimMobileDeviceService>(path());
        return m_service;
    }

    // The device opened the way the detector opens it: the afc2 probe, then the media area.
    std::shared_ptr<kestrap::iPhoneDevice> open(const QString& udid)
    {
        auto device = std::make_shared<kestrap::iPhoneDevice>(service());
        const kestrap::AMDeviceRef record = service()->currentRecord(udid);
        if (!record || !device->createWithDevice(record, true) || !device->connect(false))
            return nullptr;
        return device;
    }

    int calls(const QString& udid, const char* call) { return service()->callCount(udid, QString::fromLatin1(call)); }

    // Serves the event loop (unless told not to) until done() holds or the time is up;
    // answers done().
    static bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000, bool serveEvents = true)
    {
        const QDeadlineTimer deadline(timeoutMs);
        while (!done() && !deadline.hasExpired()) {
            if (serveEvents)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            QThread::msleep(2);
        }
        return done();
    }

private:
    QTemporaryDir m_dir;
    int m_count = 0;
    std::shared_ptr<kestrap::sim::SimMobileDeviceService> m_service;
};
