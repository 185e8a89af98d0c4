#include "device/ios/MobileDeviceService.h"

#include "device/ios/sim/SimMobileDeviceService.h"
#ifdef KESTRAP_WITH_IMD
#include "device/ios/imd/ImdMobileDeviceService.h"
#endif

#include <QFileInfo>

namespace kestrap {

QString amdErrorText(MDError code)
{
    switch (code) {
    case MDSuccess:
        return {};
    case AMDDeviceDisconnectedError:
        return QStringLiteral("the device was disconnected");
    case AMDNotConnectedError:
        return QStringLiteral("the device is not connected");
    case AMDSessionInactiveError:
        return QStringLiteral("no lockdown session with the device");
    case AMDPairingRefusedError:
        return QStringLiteral("the device does not trust this computer");
    case AMDSessionRefusedError:
        return QStringLiteral("the device refused a session");
    case AMDServiceProhibitedError:
        return QStringLiteral("the device refused the service");
    case AMDApplicationNotInstalledError:
        return QStringLiteral("app not installed");
    case AMDInvalidArgumentError:
        return QStringLiteral("invalid argument");
    case AMDAlreadySubscribedError:
        return QStringLiteral("already subscribed");
    case AMDVendRefusedError:
        return QStringLiteral("the device refuses this computer the app's files");
    case AMDDocumentsOnlyError:
        return QStringLiteral("the app shares only its Documents folder");
    case AMDTrustDeniedError:
        return QStringLiteral("the device's user denied trust to this computer");
    case AMDPasscodeLockedError:
        return QStringLiteral("the device is locked with a passcode");
    default:
        return QStringLiteral("device error %1").arg(code);
    }
}

QString afcErrorText(MDError code)
{
    switch (code) {
    case MDSuccess:
        return {};
    case AFCReadError:
        return QStringLiteral("read error on the device");
    case AFCWriteError:
        return QStringLiteral("write error on the device");
    case AFCInvalidArgumentError:
        return QStringLiteral("invalid path or argument");
    case AFCObjectNotFoundError:
        return QStringLiteral("no such file or folder on the device");
    case AFCObjectIsDirError:
        return QStringLiteral("a folder is in the way");
    case AFCPermissionDeniedError:
        return QStringLiteral("permission denied on the device");
    case AFCServiceNotConnectedError:
        return QStringLiteral("the device was disconnected");
    case AFCObjectExistsError:
        return QStringLiteral("the item exists already");
    case AFCNoSpaceLeftError:
        return QStringLiteral("no space left on the device");
    case AFCIOError:
        return QStringLiteral("input/output error on the device");
    case AFCDirNotEmptyError:
        return QStringLiteral("the folder is not empty");
    default:
        return QStringLiteral("file error %1").arg(code);
    }
}

std::shared_ptr<MobileDeviceService> farmMobileDeviceService(const QString& farm, QString* error)
{
    if (QFileInfo(farm).isDir())
        return std::make_shared<sim::SimMobileDeviceService>(farm);
    if (error)
        *error = QStringLiteral("The device farm %1 is not a folder.").arg(farm);
    return nullptr;
}

std::shared_ptr<MobileDeviceService> defaultMobileDeviceService(QString* error, WithoutUsbmuxd without)
{
    const QString farm = qEnvironmentVariable("KESTRAP_FARM");
    if (!farm.isEmpty())
        return farmMobileDeviceService(farm, error);
#ifdef KESTRAP_WITH_IMD
    if (imd::ImdMobileDeviceService::usbmuxdReachable())
        return std::make_shared<imd::ImdMobileDeviceService>();
    if (without == WithoutUsbmuxd::Wait) {
        if (error)
            *error = QStringLiteral(
                "usbmuxd is not running yet; devices are served once it is (the system starts it when a device is "
                "plugged in).");
        return std::make_shared<imd::ImdMobileDeviceService>(imd::ImdMobileDeviceService::UsbmuxdAbsent);
    }
    if (error)
        *error = QStringLiteral(
            "No device farm given (--simulate FARM or KESTRAP_FARM) and usbmuxd is not reachable, so no device can "
            "be served; is usbmuxd running?");
#else
    Q_UNUSED(without);
    if (error)
        *error = QStringLiteral("This build has no real-device backend; give a device farm (KESTRAP_FARM).");
#endif
    return nullptr;
}

QString MobileDeviceService::usbSysfsRoot() const
{
    std::lock_guard guard(m_sysfsLock);
    return m_sysfsRoot;
}

void MobileDeviceService::setUsbSysfsRoot(const QString& root)
{
    std::lock_guard guard(m_sysfsLock);
    m_sysfsRoot = root;
}

}  // namespace kestrap
