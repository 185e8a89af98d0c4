#include "settings/UserDefaults.h"

namespace kestrap {

bool UserDefaults::parseBool(const QVariant& value, bool* ok)
{
    if (ok)
        *ok = true;
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    const QString text = value.toString().trimmed().toLower();
    if (text == u"true" || text == u"yes" || text == u"1")
        return true;
    if (text == u"false" || text == u"no" || text == u"0")
        return false;
    if (ok)
        *ok = false;
    return false;
}

bool UserDefaults::boolForKey(const QString& key) const
{
    const QVariant value = objectForKey(key);
    return value.isValid() && parseBool(value);
}

UserDefaults& UserDefaults::standardUserDefaults()
{
    static SettingsUserDefaults standard(qEnvironmentVariable("KESTRAP_SETTINGS"));
    return standard;
}

SettingsUserDefaults::SettingsUserDefaults(const QString& iniPath)
    : m_settings(iniPath.isEmpty() ? std::make_unique<QSettings>(QStringLiteral("Kestrap"), QStringLiteral("Kestrap"))
                                   : std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
}

QVariant SettingsUserDefaults::objectForKey(const QString& key) const
{
    std::lock_guard lock(m_settingsLock);
    return m_settings->value(key);
}

void SettingsUserDefaults::setObject(const QString& key, const QVariant& value)
{
    std::lock_guard lock(m_settingsLock);
    m_settings->setValue(key, value);
}

void SettingsUserDefaults::removeObject(const QString& key)
{
    std::lock_guard lock(m_settingsLock);
    m_settings->remove(key);
}

QStringList SettingsUserDefaults::allKeys() const
{
    std::lock_guard lock(m_settingsLock);
    return m_settings->allKeys();
}

bool SettingsUserDefaults::synchronize()
{
    std::lock_guard lock(m_settingsLock);
    m_settings->sync();
    return m_settings->status() == QSettings::NoError;
}

QString SettingsUserDefaults::fileName() const
{
    std::lock_guard lock(m_settingsLock);
    return m_settings->fileName();
}

}  // namespace kestrap
