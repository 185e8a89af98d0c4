#include "app/KestrapAppDelegate.h"

#include "app/AppController.h"
#include "app/DeviceBrowserWindow.h"
#include "app/EventLogWindow.h"
#include "app/ExcludedDevicesWindow.h"
#include "app/FilesConfigWindow.h"
#include "app/MainWindow.h"
#include "app/PreferencesWindow.h"
#include "app/Resources.h"
#include "device/ios/MobileDeviceService.h"
#include "job/DeviceRoster.h"
#include "logging/Log.h"
#include "settings/Settings.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

namespace kestrap::app {

KestrapAppDelegate::KestrapAppDelegate(
    AlertController& alerts, FilePanels& panels, UserDefaults& defaults, QObject* parent)
    : QObject(parent)
    , m_controller((initResources(), std::make_unique<AppController>(alerts, panels, defaults)))
    , m_window(std::make_unique<MainWindow>(*m_controller))
{
    m_window->setAppCommands({
        [this] { OnPreferences(); },
        [this] { OnEventLog(); },
        [this] { OnHelp(); },
        [this] { OnConfig(); },
        [this] { OnShowExcludedDevice(); },
        [this] { OnBrowseDevice(); },
    });
    connect(m_window.get(), &MainWindow::closeRequested, this, &KestrapAppDelegate::terminate);
    m_window->restoreLayout(defaults);
    // Kept at once: a station is often ended by its service manager rather than by Quit.
    connect(
        m_window.get(), &MainWindow::layoutChoiceChanged, this, [this, &defaults] { m_window->saveLayout(defaults); });
    connect(m_controller.get(), &AppController::quitReady, this, [this, &defaults] {
        m_window->saveLayout(defaults);
        QCoreApplication::quit();
    });
}

KestrapAppDelegate::~KestrapAppDelegate()
{
    // Windows over the job go before the controller that owns it.
    delete m_eventLog;
    delete m_excluded;
    delete m_filesConfig;
    m_window.reset();
}

void KestrapAppDelegate::startDevices(std::shared_ptr<MobileDeviceService> service, const QString& notice)
{
    if (!service) {
        m_window->setNotice(QStringLiteral("No devices can be reached: ") + notice);
        return;
    }
    if (!notice.isEmpty()) {
        m_window->setNotice(notice);
        MainWindow* window = m_window.get();
        connect(
            &m_controller->roster(), &DeviceRoster::rowAdded, window, [window] { window->setNotice({}); },
            Qt::SingleShotConnection);
    }
    m_controller->startDevices(std::move(service));
}

bool KestrapAppDelegate::openFile(const QString& path)
{
    return m_controller->openJobFile(path);
}

void KestrapAppDelegate::openHandedFiles(const QStringList& paths)
{
    m_handedFiles += paths;
    if (m_openingHanded)
        return;
    m_openingHanded = true;
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
    while (!m_handedFiles.isEmpty()) {
        const QString path = m_handedFiles.takeFirst();
        KLOG_INFO("Opening %1, handed over by another launch", path);
        openFile(path);
    }
    m_openingHanded = false;
}

QString KestrapAppDelegate::helpPath()
{
    const QDir bin(QCoreApplication::applicationDirPath());
    const QString beside = bin.filePath(QStringLiteral("help.pdf"));
    if (QFileInfo::exists(beside))
        return beside;
    return QDir::cleanPath(bin.filePath(QStringLiteral("../share/kestrap/help.pdf")));
}

void KestrapAppDelegate::OnHelp()
{
    // Nothing is shown when the help is missing; the viewer's own errors are its own.
    const QString path = helpPath();
    if (QFileInfo::exists(path))
        QDesktopServices::openUrl(QUrl::fromLocalFile(path));
}

void KestrapAppDelegate::OnPreferences()
{
    // A new window each time; it deletes itself when closed.
    auto* prefs = new PreferencesWindow(Settings::settings(), m_window.get());
    prefs->show();
}

void KestrapAppDelegate::OnEventLog()
{
    if (!m_eventLog)
        m_eventLog = new EventLogWindow();
    m_eventLog->show();
}

void KestrapAppDelegate::OnConfig()
{
    if (!m_filesConfig)
        m_filesConfig = new FilesConfigWindow(*m_controller, m_window.get());
    m_filesConfig->show();
    m_filesConfig->raise();
}

void KestrapAppDelegate::OnShowExcludedDevice()
{
    if (!m_excluded)
        m_excluded = new ExcludedDevicesWindow(*m_controller, m_window.get());
    m_excluded->show();
}

void KestrapAppDelegate::OnBrowseDevice()
{
    const int row = m_window->selectedDevice();
    if (row < 0)
        return;
    auto* browser = new DeviceBrowserWindow(*m_controller, row, m_window.get());
    browser->show();
}

void KestrapAppDelegate::terminate()
{
    m_controller->requestQuit();
}

}  // namespace kestrap::app
