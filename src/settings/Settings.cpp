#include "settings/Settings.h"
#include "logging/Log.h"

#include <QSet>
#include <mutex>

namespace kestrap {

namespace {

// A stored value that cannot be used is told once per key and process: the settings are read
// at every use, and a run would repeat the same warning for every device.
void reportInvalid(const QString& key, const QVariant& stored, const QString& used)
{
    static std::mutex toldLock;
    static QSet<QString> told;
    {
        std::lock_guard guard(toldLock);
        if (told.contains(key))
            return;
        told.insert(key);
    }
    KLOG_WARN(
        "The stored setting %1 is \"%2\", which cannot be used: %3 is used instead.", key, stored.toString(), used);
}

// A whole number from min to max, or fallback when none is stored or the stored one is not
// such a number.
std::int32_t storedInt(const UserDefaults& defaults, const QString& key, int min, int max, int fallback)
{
    const QVariant stored = defaults.objectForKey(key);
    if (!stored.isValid())
        return fallback;
    bool ok = false;
    const int value = stored.toString().trimmed().toInt(&ok);
    if (ok && value >= min && value <= max)
        return value;
    reportInvalid(key, stored, QString::number(fallback));
    return fallback;
}

bool storedBool(const UserDefaults& defaults, const QString& key, bool fallback)
{
    const QVariant stored = defaults.objectForKey(key);
    if (!stored.isValid())
        return fallback;
    bool ok = false;
    const bool value = UserDefaults::parseBool(stored, &ok);
    if (ok)
        return value;
    reportInvalid(key, stored, fallback ? QStringLiteral("YES") : QStringLiteral("NO"));
    return fallback;
}

}  // namespace

Settings& Settings::settings()
{
    static Settings shared(UserDefaults::standardUserDefaults());
    return shared;
}

Settings::Settings(UserDefaults& defaults) : m_defaults(defaults)
{
    if (!m_defaults.hasValue(kEnableLoggingKey)) {
        m_defaults.setBool(kEnableLoggingKey, true);
        m_defaults.setBool(kEnableLoggingErrorKey, true);
    }
    logLevelMask.store(levelMaskFromSwitches(m_defaults), std::memory_order_relaxed);
    if (!m_defaults.hasValue(kConcurrencyKey)) {
        m_defaults.setObject(kConcurrencyKey, kDefaultConcurrency);
        m_defaults.synchronize();
    }
}

std::int32_t Settings::levelMaskFromSwitches(const UserDefaults& defaults)
{
    if (!defaults.boolForKey(kEnableLoggingKey))
        return 0;
    std::int32_t mask = 0;
    if (defaults.boolForKey(kEnableLoggingNormalKey))
        mask |= LogFlagInfo;
    if (defaults.boolForKey(kEnableLoggingWarnKey))
        mask |= LogFlagWarn;
    if (defaults.boolForKey(kEnableLoggingErrorKey))
        mask |= LogFlagError;
    return mask;
}

std::int32_t Settings::concurrency() const
{
    // A run with 0 copy threads would never serve a device, and never end.
    return storedInt(m_defaults, kConcurrencyKey, 1, kMaxConcurrency, kDefaultConcurrency);
}

bool Settings::showWelcome() const
{
    return storedBool(m_defaults, kShowWelcomeKey, true);
}

void Settings::setShowWelcome(bool on)
{
    m_defaults.setBool(kShowWelcomeKey, on);
    m_defaults.synchronize();
}

bool Settings::autoupdate() const
{
    return storedBool(m_defaults, kAutoCheckForUpdatesKey, true);
}

void Settings::setAutoupdate(bool on)
{
    m_defaults.setBool(kAutoCheckForUpdatesKey, on);
    m_defaults.synchronize();
}

double Settings::progressPause() const
{
    constexpr double kDefaultPause = 0.5;
    const QVariant stored = m_defaults.objectForKey(kProgressPauseKey);
    if (!stored.isValid())
        return kDefaultPause;
    bool ok = false;
    const double value = stored.toString().trimmed().toDouble(&ok);
    // NaN fails both comparisons.
    if (ok && value >= 0 && value <= kMaxProgressPause)
        return value;
    reportInvalid(kProgressPauseKey, stored, QString::number(kDefaultPause));
    return kDefaultPause;
}

bool Settings::skipUnchanged() const
{
    return storedBool(m_defaults, kSkipUnchangedKey, false);
}

bool Settings::verifyCopies() const
{
    return storedBool(m_defaults, kVerifyCopiesKey, false);
}

bool Settings::mirrorFolders() const
{
    return m_defaults.boolForKey(kMirrorFoldersKey);
}

std::int32_t Settings::connectionsPerDevice() const
{
    return storedInt(m_defaults, kConnectionsPerDeviceKey, 1, kMaxConnectionsPerDevice, kDefaultConnectionsPerDevice);
}

void Settings::setLoggingSwitch(const QString& key, bool on)
{
    m_defaults.setBool(key, on);
    loggingSwitchChanged(key);
}

void Settings::loggingSwitchChanged(const QString& key)
{
    m_defaults.synchronize();
    std::int32_t flag = 0;
    if (key == kEnableLoggingKey) {
        logLevelMask.store(levelMaskFromSwitches(m_defaults), std::memory_order_relaxed);
        return;
    }
    if (key == kEnableLoggingNormalKey)
        flag = LogFlagInfo;
    else if (key == kEnableLoggingWarnKey)
        flag = LogFlagWarn;
    else if (key == kEnableLoggingErrorKey)
        flag = LogFlagError;
    else
        return;
    if (m_defaults.boolForKey(key))
        logLevelMask.fetch_or(flag, std::memory_order_relaxed);
    else
        logLevelMask.fetch_and(~flag, std::memory_order_relaxed);
}

}  // namespace kestrap
