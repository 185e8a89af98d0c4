#include "app/PreferencesWindow.h"

#include "settings/Settings.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QDoubleSpinBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QSpinBox>
#include <QVBoxLayout>

namespace kestrap::app {

PreferencesWindow::PreferencesWindow(Settings& settings, QWidget* parent) : QDialog(parent), m_settings(settings)
{
    setWindowTitle(QStringLiteral("Preferences"));
    setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(this);

    auto* logging = new QGroupBox(QStringLiteral("Logging"), this);
    auto* logLayout = new QVBoxLayout(logging);
    logLayout->addWidget(addSwitch(kEnableLoggingKey, QStringLiteral("Keep an event log")));
    auto* levels = new QVBoxLayout;
    levels->setContentsMargins(20, 0, 0, 0);
    levels->addWidget(addSwitch(kEnableLoggingErrorKey, QStringLiteral("Errors")));
    levels->addWidget(addSwitch(kEnableLoggingWarnKey, QStringLiteral("Warnings")));
    levels->addWidget(addSwitch(kEnableLoggingNormalKey, QStringLiteral("Information")));
    logLayout->addLayout(levels);
    layout->addWidget(logging);

    auto* transfer = new QGroupBox(QStringLiteral("Transfer"), this);
    auto* form = new QFormLayout(transfer);
    m_concurrency = new QSpinBox(transfer);
    m_concurrency->setRange(1, 256);
    m_concurrency->setSuffix(QStringLiteral(" devices"));
    form->addRow(QStringLiteral("Serve at once:"), m_concurrency);
    m_pause = new QDoubleSpinBox(transfer);
    m_pause->setRange(0, 5);
    m_pause->setSingleStep(0.1);
    m_pause->setDecimals(1);
    m_pause->setSuffix(QStringLiteral(" s"));
    m_pause->setToolTip(QStringLiteral("How long a device's row waits between two progress updates; copies never "
                                       "wait for it."));
    form->addRow(QStringLiteral("Show progress every:"), m_pause);
    m_connections = new QSpinBox(transfer);
    m_connections->setRange(1, Settings::kMaxConnectionsPerDevice);
    m_connections->setSuffix(QStringLiteral(" a device"));
    m_connections->setToolTip(QStringLiteral("Each connection sends other files, so one file's waits for the device "
                                             "are filled by another's bytes. Use 1 for a device that prefers one."));
    form->addRow(QStringLiteral("Connections:"), m_connections);
    QCheckBox* skip = addSwitch(kSkipUnchangedKey, QStringLiteral("Send only changed files"), false);
    skip->setToolTip(QStringLiteral("Leave the files a device holds with the same size and modification time."));
    form->addRow(skip);
    QCheckBox* verify = addSwitch(kVerifyCopiesKey, QStringLiteral("Verify copies"), false);
    verify->setToolTip(QStringLiteral("Read every file back from the device before it replaces the old one."));
    form->addRow(verify);
    QCheckBox* mirror = addSwitch(kMirrorFoldersKey, QStringLiteral("Remove files the job no longer has"), false);
    mirror->setToolTip(QStringLiteral("Once a device has every file of the job, remove what the folders the job "
                                      "sends hold beyond it. Asked once before each run."));
    form->addRow(mirror);
    layout->addWidget(transfer);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    layout->addWidget(buttons);

    reload();
    UserDefaults& defaults = m_settings.userDefaults();
    connect(m_concurrency, &QSpinBox::valueChanged, this, [&defaults](int n) {
        defaults.setObject(kConcurrencyKey, n);
        defaults.synchronize();
    });
    connect(m_pause, &QDoubleSpinBox::valueChanged, this, [&defaults](double s) {
        defaults.setObject(kProgressPauseKey, s);
        defaults.synchronize();
    });
    connect(m_connections, &QSpinBox::valueChanged, this, [&defaults](int n) {
        defaults.setObject(kConnectionsPerDeviceKey, n);
        defaults.synchronize();
    });
}

QCheckBox* PreferencesWindow::addSwitch(const QString& key, const QString& title, bool logging)
{
    auto* box = new QCheckBox(title, this);
    m_switches.emplace_back(key, box);
    connect(box, &QCheckBox::toggled, this, [this, key, logging](bool on) {
        if (logging) {
            m_settings.setLoggingSwitch(key, on);
            return;
        }
        m_settings.userDefaults().setObject(key, on);
        m_settings.userDefaults().synchronize();
    });
    return box;
}

void PreferencesWindow::reload()
{
    const UserDefaults& defaults = m_settings.userDefaults();
    for (auto& [key, box] : m_switches) {
        const QSignalBlocker blocker(box);
        box->setChecked(defaults.boolForKey(key));
    }
    const QSignalBlocker b1(m_concurrency);
    m_concurrency->setValue(m_settings.concurrency());
    const QSignalBlocker b2(m_pause);
    m_pause->setValue(m_settings.progressPause());
    const QSignalBlocker b3(m_connections);
    m_connections->setValue(m_settings.connectionsPerDevice());
}

}  // namespace kestrap::app
