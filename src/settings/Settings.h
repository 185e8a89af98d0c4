#pragma once

#include "settings/UserDefaults.h"

#include <QString>
#include <cstdint>

namespace kestrap {

// User-defaults keys.
inline const QString kConcurrencyKey = QStringLiteral("concurrency");
inline const QString kEnableLoggingKey = QStringLiteral("enableLogging");
inline const QString kEnableLoggingNormalKey = QStringLiteral("enableLoggingNormal");
inline const QString kEnableLoggingWarnKey = QStringLiteral("enableLoggingWarn");
inline const QString kEnableLoggingErrorKey = QStringLiteral("enableLoggingError");
inline const QString kShowWelcomeKey = QStringLiteral("showWelcome");
inline const QString kAutoCheckForUpdatesKey = QStringLiteral("AutoCheckForUpdates");
inline const QString kProgressPauseKey = QStringLiteral("progressPause");
inline const QString kSkipUnchangedKey = QStringLiteral("skipUnchanged");
inline const QString kVerifyCopiesKey = QStringLiteral("verifyCopies");
inline const QString kConnectionsPerDeviceKey = QStringLiteral("connectionsPerDevice");
inline const QString kMirrorFoldersKey = QStringLiteral("mirrorFolders");

// The application's preferences over the user defaults, and the log level mask they set.
// Keeps no values of its own: every accessor reads or writes the store at the call. A stored
// value that is not a number or out of its range (a file edited by hand, another version's) is
// taken as its default, and told once per key and process as a warning in the event log.
//
// Threading: create it and change the logging switches on the main thread (logLevelMask is
// written there only); the value accessors may be called from any thread.
class Settings {
public:
    // The shared instance over UserDefaults::standardUserDefaults(), made on the first call.
    static Settings& settings();

    // Writes the first-start defaults ("enableLogging" and "enableLoggingError" YES when
    // "enableLogging" has no value; "concurrency" 3 when it has none), then sets
    // logLevelMask from the switches.
    explicit Settings(UserDefaults& defaults);

    UserDefaults& userDefaults() { return m_defaults; }

    // Copy threads run at once, 1 to kMaxConcurrency; kDefaultConcurrency unless a number in
    // range is stored.
    std::int32_t concurrency() const;
    static constexpr std::int32_t kDefaultConcurrency = 3;
    static constexpr std::int32_t kMaxConcurrency = 256;
    bool showWelcome() const;
    void setShowWelcome(bool on);
    bool autoupdate() const;
    void setAutoupdate(bool on);
    // Seconds a copy thread pauses after each progress report: 0.5 unless a number from 0 to
    // kMaxProgressPause is stored.
    double progressPause() const;
    static constexpr double kMaxProgressPause = 60;
    // "Send only changed files": a file the device holds with the same size and modification
    // time is not sent again. Off unless stored.
    bool skipUnchanged() const;
    // "Verify copies": every file is read back before it replaces the old one. Off unless stored.
    bool verifyCopies() const;
    // "Remove files the job no longer has": a device that got every file loses what the
    // folders the job sends hold beyond the job. Off unless stored.
    bool mirrorFolders() const;
    // File connections a copy opens to each device, 1 to 8: kDefaultConnectionsPerDevice unless
    // a number in range is stored.
    std::int32_t connectionsPerDevice() const;
    static constexpr std::int32_t kDefaultConnectionsPerDevice = 4;
    static constexpr std::int32_t kMaxConnectionsPerDevice = 8;

    // Stores one of the four logging switches and keeps logLevelMask in step, as the
    // preferences window does on every change: "enableLogging" rebuilds the whole mask, each
    // of the three others sets or clears only its own flag, whatever the master switch says.
    void setLoggingSwitch(const QString& key, bool on);
    // The same mask update for a switch already written to the store by someone else.
    void loggingSwitchChanged(const QString& key);

    // 0 when "enableLogging" is off, else the flags of the switches that are on.
    static std::int32_t levelMaskFromSwitches(const UserDefaults& defaults);

private:
    UserDefaults& m_defaults;
};

}  // namespace kestrap
