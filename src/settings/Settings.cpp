#include "settings/Settings.h"
#include "logging/Log.h"

namespace kestrap {

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
        m_defaults.setObject(kConcurrencyKey, 3);
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
    bool ok = false;
    const int value = m_defaults.objectForKey(kConcurrencyKey).toInt(&ok);
    return ok ? value : 0;
}

bool Settings::showWelcome() const
{
    return !m_defaults.hasValue(kShowWelcomeKey) || m_defaults.boolForKey(kShowWelcomeKey);
}

void Settings::setShowWelcome(bool on)
{
    m_defaults.setBool(kShowWelcomeKey, on);
    m_defaults.synchronize();
}

bool Settings::autoupdate() const
{
    return !m_defaults.hasValue(kAutoCheckForUpdatesKey) || m_defaults.boolForKey(kAutoCheckForUpdatesKey);
}

void Settings::setAutoupdate(bool on)
{
    m_defaults.setBool(kAutoCheckForUpdatesKey, on);
    m_defaults.synchronize();
}

double Settings::progressPause() const
{
    bool ok = false;
    const double value = m_defaults.objectForKey(kProgressPauseKey).toDouble(&ok);
    return ok && value >= 0 ? value : 0.5;
}

bool Settings::skipUnchanged() const
{
    return m_defaults.boolForKey(kSkipUnchangedKey);
}

bool Settings::verifyCopies() const
{
    return m_defaults.boolForKey(kVerifyCopiesKey);
}

bool Settings::mirrorFolders() const
{
    return m_defaults.boolForKey(kMirrorFoldersKey);
}

std::int32_t Settings::connectionsPerDevice() const
{
    bool ok = false;
    const int value = m_defaults.objectForKey(kConnectionsPerDeviceKey).toInt(&ok);
    return ok && value >= 1 && value <= kMaxConnectionsPerDevice ? value : kDefaultConnectionsPerDevice;
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
