#pragma once

#include "device/iMobileDevice.h"

// A device with an identity and nothing on it, for tests of code that only looks at rows.
class StubDevice : public kestrap::iMobileDevice {
public:
    StubDevice(QString uuid, QString name, std::int32_t type)
        : m_uuid(std::move(uuid)), m_name(std::move(name)), m_type(type)
    {
    }
    void refresh() override { }
    QString uuid() override { return m_uuid; }
    QString buildVersion() override { return {}; }
    QString osVersion() override { return {}; }
    QString firmwareVersion() override { return {}; }
    QString modelNumber() override { return {}; }
    QString phoneNumber() override { return {}; }
    QString serialNumber() override { return {}; }
    std::uint64_t freeCapacity() override { return 0; }
    std::uint64_t capacity() override { return 0; }
    QString name() override { return m_name; }
    std::int32_t deviceType() override { return m_type; }
    QString fullPath(const QString& path) override { return path; }
    QString iTunesControlPath() override { return QStringLiteral("iTunes_Control"); }
    std::optional<QByteArray> readFileAtPath(const QString&, std::uint32_t, std::uint32_t) override { return {}; }
    std::optional<QByteArray> contentsOfFileAtPath(const QString&, kestrap::DeviceError* = nullptr) override
    {
        return {};
    }
    bool downloadFile(const QString&, const QString&) override { return false; }
    bool uploadFile(const QString&, const QString&) override { return false; }
    std::vector<kestrap::iMobileFileSystemNode> contentsOfDirectory(const QString&, std::int32_t) override
    {
        return {};
    }
    bool isLinkAtPath(const QString&) override { return false; }
    bool isDirectoryAtPath(const QString&) override { return false; }
    bool itemExistsAtPath(const QString&, bool*) override { return false; }
    bool deleteItemAtPath(const QString&) override { return false; }
    bool renameItemAtPath(const QString&, const QString&) override { return false; }
    bool createDirectory(const QString&) override { return false; }
    QDateTime modificationDateOfItemAtPath(const QString&) override { return QDateTime::currentDateTime(); }
    QDateTime creationDateOfItemAtPath(const QString&) override { return QDateTime::currentDateTime(); }
    std::uint64_t getSizeOfItemAtPath(const QString&) override { return 0; }
    std::vector<kestrap::AppBundle> appBundles() override { return apps; }

    std::vector<kestrap::AppBundle> apps;

private:
    QString m_uuid;
    QString m_name;
    std::int32_t m_type;
};
