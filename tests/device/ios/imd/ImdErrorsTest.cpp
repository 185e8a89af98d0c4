// The library's codes as the seam's: the cause a user reads must be the one the device gave.

#include "device/ios/imd/ImdErrors.h"

#include <gtest/gtest.h>

using namespace kestrap;
using namespace kestrap::imd;

TEST(ImdErrors, LockdownCodesKeepTheirCause)
{
    // Every way a device says it does not trust this computer is a pairing error; the user's
    // "Don't Trust" and a passcode lock keep their own cause, since the user must do something
    // else about each.
    for (const lockdownd_error_t e : {LOCKDOWN_E_PASSWORD_PROTECTED, LOCKDOWN_E_USER_DENIED_PAIRING,
             LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING, LOCKDOWN_E_INVALID_HOST_ID, LOCKDOWN_E_MISSING_PAIR_RECORD})
        EXPECT_TRUE(isPairingError(e)) << e;
    for (const lockdownd_error_t e :
        {LOCKDOWN_E_PAIRING_DIALOG_RESPONSE_PENDING, LOCKDOWN_E_INVALID_HOST_ID, LOCKDOWN_E_MISSING_PAIR_RECORD})
        EXPECT_EQ(fromLockdown(e), AMDPairingRefusedError) << e;
    EXPECT_EQ(fromLockdown(LOCKDOWN_E_USER_DENIED_PAIRING), AMDTrustDeniedError);
    EXPECT_EQ(fromLockdown(LOCKDOWN_E_PASSWORD_PROTECTED), AMDPasscodeLockedError);
    EXPECT_EQ(fromLockdown(LOCKDOWN_E_SUCCESS), MDSuccess);
    EXPECT_EQ(fromLockdown(LOCKDOWN_E_MUX_ERROR), AMDNotConnectedError);
    EXPECT_EQ(fromLockdown(LOCKDOWN_E_SESSION_INACTIVE), AMDSessionInactiveError);
    EXPECT_EQ(fromLockdown(LOCKDOWN_E_INVALID_SERVICE), AMDServiceProhibitedError);
    EXPECT_EQ(fromLockdown(LOCKDOWN_E_UNKNOWN_ERROR, AMDSessionRefusedError), AMDSessionRefusedError);
    EXPECT_FALSE(isPairingError(LOCKDOWN_E_MUX_ERROR));
    EXPECT_EQ(fromDevice(IDEVICE_E_NO_DEVICE), AMDDeviceDisconnectedError);

    EXPECT_EQ(fromHouseArrest(nullptr), MDSuccess);
    EXPECT_EQ(fromHouseArrest("ApplicationLookupFailed"), AMDApplicationNotInstalledError);
    EXPECT_EQ(fromHouseArrest("InstallationLookupFailed"), AMDVendRefusedError);
    EXPECT_EQ(fromHouseArrest("UnknownCommand"), AMDServiceProhibitedError);
    EXPECT_EQ(amdErrorText(fromHouseArrest("ApplicationLookupFailed")), "app not installed");
}

TEST(ImdErrors, AfcCodesKeepTheProtocolsNumbersAndAGoneLinkIsAGoneDevice)
{
    EXPECT_EQ(fromAfc(AFC_E_NO_SPACE_LEFT), AFCNoSpaceLeftError);
    EXPECT_EQ(afcErrorText(fromAfc(AFC_E_NO_SPACE_LEFT)), "no space left on the device");
    EXPECT_EQ(fromAfc(AFC_E_OBJECT_NOT_FOUND), AFCObjectNotFoundError);
    EXPECT_EQ(fromAfc(AFC_E_PERM_DENIED), AFCPermissionDeniedError);
    EXPECT_EQ(fromAfc(AFC_E_DIR_NOT_EMPTY), AFCDirNotEmptyError);
    EXPECT_EQ(fromAfc(AFC_E_IO_ERROR), AFCIOError);
    for (const afc_error_t e : {AFC_E_MUX_ERROR, AFC_E_NOT_ENOUGH_DATA, AFC_E_OP_TIMEOUT, AFC_E_SERVICE_NOT_CONNECTED})
        EXPECT_EQ(fromAfc(e), AFCServiceNotConnectedError) << e;
    EXPECT_EQ(fromAfc(AFC_E_NO_MEM), AFCUnknownError);
}
