#pragma once

#include <QString>

namespace kestrap {

// Which layer a failure comes from: codes are only meaningful within their domain (lockdown's
// 8 is "app not installed", AFC's 8 "not found").
enum class ErrorDomain : int {
    None = 0,
    Lockdown = 1,
    AFC = 2,
    HouseArrest = 3,
    InstallationProxy = 4,
    LocalFile = 5,  // the source file on this computer (code: errno, or 0)
    Job = 6,  // a rule of the copy itself (room, verification, a changing source, a stop)
};

// Why an operation failed, for the user and for programs: its domain and that domain's code,
// and a short text a user can act on ("no space left on the device", "app not installed").
// Empty when nothing failed.
struct DeviceError {
    ErrorDomain domain = ErrorDomain::None;
    int code = 0;
    QString text;
    bool deviceGone = false;  // the device went away: nothing more can be done on it

    bool isEmpty() const { return text.isEmpty(); }

    static DeviceError local(int err, const QString& text) { return {ErrorDomain::LocalFile, err, text}; }
    static DeviceError job(const QString& text) { return {ErrorDomain::Job, 0, text}; }
};

// The domain's name in machine-readable output: "lockdown", "afc", "house-arrest",
// "installation-proxy", "local-file", "job"; empty for None.
QString errorDomainName(ErrorDomain domain);

}  // namespace kestrap
