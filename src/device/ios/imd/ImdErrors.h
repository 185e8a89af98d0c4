#pragma once

#include "device/ios/MobileDeviceService.h"

#include <libimobiledevice/afc.h>
#include <libimobiledevice/libimobiledevice.h>
#include <libimobiledevice/lockdown.h>

// The one place where libimobiledevice's error codes become the seam's. Each mapping keeps
// the cause: a device that has gone, a pairing the user has not granted, a service the
// device refuses, a full disk. The texts name the library's code for the log; the user sees
// the seam code's own text (amdErrorText, afcErrorText).
namespace kestrap::imd {

// A lockdown result. `fallback` is the seam's code for a failure the library cannot name
// (an unknown error while starting a session is a refused session).
MDError fromLockdown(lockdownd_error_t error, MDError fallback = AMDUnknownError);
MDError fromDevice(idevice_error_t error);
MDError fromAfc(afc_error_t error);
// The "Error" string of a house-arrest answer.
MDError fromHouseArrest(const char* error);

// Pairing failures: the device does not (yet) trust this computer. A device that answers
// these is waiting for its user's "Trust", not broken.
bool isPairingError(lockdownd_error_t error);

QString lockdownErrorText(lockdownd_error_t error);
QString afcLibraryErrorText(afc_error_t error);

}  // namespace kestrap::imd
