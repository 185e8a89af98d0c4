#include "device/ios/imd/ImdErrors.h"

#include "device/ios/imd/ImdHandles.h"

#include <cstring>

namespace kestrap::imd {

void freeStringList(char** list)
{
    afc_dictionary_free(list);
}

bool isPairingError(lockdownd_error_t error)
{
    switch (error) {
    case LOCKDOWN_E_PAIRING_FAILED:
    case LOCKDOWN_E_INVALID_HOST_ID:
    case LOCKDOWN_E_MISSING_HOST_ID:
    case LOCKDOWN_E_PASSWORD_PROTECTED:
    case LOCKDOWN_E_USER_DENIED_PAIRING:
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
    case LOCKDOWN_E_MISSING_PAIR_RECORD:
    case LOCKDOWN_E_INVALID_PAIR_RECORD:
    case LOCKDOWN_E_INVALID_CONF:
    case LOCKDOWN_E_SSL_ERROR:
        return true;
    default:
        return false;
    }
}

MDError fromLockdown(lockdownd_error_t error, MDError fallback)
{
    if (error == LOCKDOWN_E_SUCCESS)
        return MDSuccess;
    // What the device's user must do differs: these are not "not trusted yet".
    if (error == LOCKDOWN_E_USER_DENIED_PAIRING)
        return AMDTrustDeniedError;
    if (error == LOCKDOWN_E_PASSWORD_PROTECTED)
        return AMDPasscodeLockedError;
    if (isPairingError(error))
        return AMDPairingRefusedError;
    switch (error) {
    case LOCKDOWN_E_INVALID_ARG:
        return AMDInvalidArgumentError;
    case LOCKDOWN_E_MUX_ERROR:
    case LOCKDOWN_E_RECEIVE_TIMEOUT:
    case LOCKDOWN_E_PLIST_ERROR:
        // The link broke; whether the device itself went is the caller's to tell.
        return AMDNotConnectedError;
    case LOCKDOWN_E_NO_RUNNING_SESSION:
    case LOCKDOWN_E_SESSION_INACTIVE:
        return AMDSessionInactiveError;
    case LOCKDOWN_E_SESSION_ACTIVE:
    case LOCKDOWN_E_MISSING_SESSION_ID:
    case LOCKDOWN_E_INVALID_SESSION_ID:
        return AMDSessionRefusedError;
    case LOCKDOWN_E_INVALID_SERVICE:
    case LOCKDOWN_E_MISSING_SERVICE:
    case LOCKDOWN_E_SERVICE_PROHIBITED:
    case LOCKDOWN_E_SERVICE_LIMIT:
        return AMDServiceProhibitedError;
    default:
        return fallback;
    }
}

MDError fromDevice(idevice_error_t error)
{
    switch (error) {
    case IDEVICE_E_SUCCESS:
        return MDSuccess;
    case IDEVICE_E_NO_DEVICE:
        return AMDDeviceDisconnectedError;
    case IDEVICE_E_INVALID_ARG:
        return AMDInvalidArgumentError;
    default:
        return AMDNotConnectedError;
    }
}

MDError fromAfc(afc_error_t error)
{
    switch (error) {
    case AFC_E_SUCCESS:
        return MDSuccess;
    // The link is gone: a pulled cable, a restarted usbmuxd, a device that stopped answering.
    case AFC_E_MUX_ERROR:
    case AFC_E_NOT_ENOUGH_DATA:
    case AFC_E_OP_TIMEOUT:
    case AFC_E_SERVICE_NOT_CONNECTED:
        return AFCServiceNotConnectedError;
    case AFC_E_END_OF_DATA:
        return AFCReadError;
    case AFC_E_NO_MEM:
    case AFC_E_INTERNAL_ERROR:
    case AFC_E_OP_HEADER_INVALID:
    case AFC_E_UNKNOWN_PACKET_TYPE:
        return AFCUnknownError;
    default:
        // The rest are the protocol's own status codes, which the seam's codes are numbered
        // after: passed on as they are.
        return MDError(error);
    }
}

MDError fromHouseArrest(const char* error)
{
    if (!error)
        return MDSuccess;
    if (std::strcmp(error, "ApplicationLookupFailed") == 0)
        return AMDApplicationNotInstalledError;
    // The device has the app but will not vend that for it: the container of an App Store
    // app, the documents of an app that does not share files.
    if (std::strcmp(error, "InstallationLookupFailed") == 0)
        return AMDVendRefusedError;
    return AMDServiceProhibitedError;
}

QString lockdownErrorText(lockdownd_error_t error)
{
    switch (error) {
    case LOCKDOWN_E_PASSWORD_PROTECTED:
        return QStringLiteral("the device is locked with a passcode");
    case LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING:
        return QStringLiteral("the device waits for its user to tap \"Trust\"");
    case LOCKDOWN_E_USER_DENIED_PAIRING:
        return QStringLiteral("the device's user denied trust");
    case LOCKDOWN_E_INVALID_HOST_ID:
    case LOCKDOWN_E_MISSING_PAIR_RECORD:
    case LOCKDOWN_E_INVALID_CONF:
        return QStringLiteral("the device is not paired with this computer");
    default:
        return QStringLiteral("lockdown error %1").arg(int(error));
    }
}

QString afcLibraryErrorText(afc_error_t error)
{
    return QStringLiteral("AFC error %1").arg(int(error));
}

}  // namespace kestrap::imd
