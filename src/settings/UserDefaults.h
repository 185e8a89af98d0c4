#pragma once

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <memory>
#include <mutex>

namespace kestrap {

// The per-user preferences store. Values are read at the time of each call; nothing is
// cached above the store.
//
// Threading: every operation may be called from any thread.
class UserDefaults {
public:
    virtual ~UserDefaults() = default;

    // An invalid QVariant when the key has no value.
    virtual QVariant objectForKey(const QString& key) const = 0;
    virtual void setObject(const QString& key, const QVariant& value) = 0;
    virtual void removeObject(const QString& key) = 0;
    virtual QStringList allKeys() const = 0;
    // Writes changes to permanent storage; false when that failed.
    virtual bool synchronize() = 0;

    bool hasValue(const QString& key) const { return objectForKey(key).isValid(); }
    // false when absent or not a boolean text.
    bool boolForKey(const QString& key) const;
    void setBool(const QString& key, bool value) { setObject(key, value); }

    // The store of this user: the file named by $KESTRAP_SETTINGS when set (an INI file; tests
    // and scripts use it), else Qt's native settings of organization and application
    // "Kestrap" (~/.config/Kestrap/Kestrap.conf).
    static UserDefaults& standardUserDefaults();

    // "true"/"false", "YES"/"NO", "1"/"0" in any case; false in *ok for anything else.
    static bool parseBool(const QVariant& value, bool* ok = nullptr);
};

// UserDefaults over QSettings.
class SettingsUserDefaults : public UserDefaults {
public:
    // An empty path means Qt's native settings of "Kestrap"/"Kestrap"; otherwise an INI file.
    explicit SettingsUserDefaults(const QString& iniPath = {});

    QVariant objectForKey(const QString& key) const override;
    void setObject(const QString& key, const QVariant& value) override;
    void removeObject(const QString& key) override;
    QStringList allKeys() const override;
    bool synchronize() override;

    QString fileName() const;

private:
    mutable std::mutex m_settingsLock;  // guards m_settings
    std::unique_ptr<QSettings> m_settings;
};

}  // namespace kestrap
