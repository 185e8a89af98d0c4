#pragma once

#include <QDialog>

class QCheckBox;
class QDoubleSpinBox;
class QSpinBox;

namespace kestrap {
class Settings;
}

namespace kestrap::app {

// The preferences: the logging master switch and its three levels, how many devices are
// served at once, and the pause after each progress report. Every change is stored at once
// and keeps the log level mask in step through Settings; there is nothing to apply.
// Each Preferences command opens a new window, which deletes itself when closed.
//
// Threading: main thread only.
class PreferencesWindow : public QDialog {
    Q_OBJECT
public:
    explicit PreferencesWindow(Settings& settings, QWidget* parent = nullptr);

    // Reads every control from the store again.
    void reload();

private:
    // A check box over a boolean user default; a logging switch also keeps the log mask in step.
    QCheckBox* addSwitch(const QString& key, const QString& title, bool logging = true);

    Settings& m_settings;
    std::vector<std::pair<QString, QCheckBox*>> m_switches;
    QSpinBox* m_concurrency = nullptr;
    QDoubleSpinBox* m_pause = nullptr;
    QSpinBox* m_connections = nullptr;
};

}  // namespace kestrap::app
