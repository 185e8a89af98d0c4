#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <memory>

namespace kestrap {
class MobileDeviceService;
class UserDefaults;
}  // namespace kestrap

namespace kestrap::app {

class AlertController;
class AppController;
class DeviceBrowserWindow;
class EventLogWindow;
class ExcludedDevicesWindow;
class FilePanels;
class FilesConfigWindow;
class MainWindow;

// The application: makes the main controller and window, carries the application's own
// commands (Help, Preferences, Event Log) and the windows they show, opens job files handed
// in from outside, and ends the program when the main window closes.
//
// Threading: main thread only; make it after QApplication.
class KestrapAppDelegate : public QObject {
    Q_OBJECT
public:
    KestrapAppDelegate(AlertController& alerts, FilePanels& panels, UserDefaults& defaults, QObject* parent = nullptr);
    ~KestrapAppDelegate() override;

    AppController& controller() { return *m_controller; }
    MainWindow& window() { return *m_window; }

    // Serves these devices; without a service the window says why in its status line. A
    // service with a notice (one waiting for usbmuxd) shows it there until a device comes.
    void startDevices(std::shared_ptr<MobileDeviceService> service, const QString& notice);
    bool openFile(const QString& path);
    // Job files handed over by another launch: brought to the front and opened one after the
    // other as Open does. Files that come while one is still being opened (its question
    // waiting) wait their turn.
    void openHandedFiles(const QStringList& paths);

    void OnHelp();
    void OnPreferences();
    void OnEventLog();
    void OnConfig();
    void OnShowExcludedDevice();
    void OnBrowseDevice();

    // The way out: the controller settles the job and stops a running one (the person may
    // cancel); the event loop ends once no job works.
    void terminate();

    EventLogWindow* eventLogWindow() const { return m_eventLog; }
    ExcludedDevicesWindow* excludedDevicesWindow() const { return m_excluded; }
    FilesConfigWindow* filesConfigWindow() const { return m_filesConfig; }

    // Where help.pdf is: beside the program in a build folder, else in its data folder.
    static QString helpPath();

private:
    std::unique_ptr<AppController> m_controller;
    std::unique_ptr<MainWindow> m_window;
    EventLogWindow* m_eventLog = nullptr;
    ExcludedDevicesWindow* m_excluded = nullptr;
    FilesConfigWindow* m_filesConfig = nullptr;
    QStringList m_handedFiles;
    bool m_openingHanded = false;
};

}  // namespace kestrap::app
