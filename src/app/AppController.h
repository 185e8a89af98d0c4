#pragma once

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <memory>
#include <vector>

namespace kestrap {
class DeviceManager;
class DeviceRoster;
class MobileDeviceService;
class PortJob;
class UserDefaults;
}  // namespace kestrap

namespace kestrap::app {

class AlertController;
class FilePanels;

// The main window's commands over the current job and the device roster. It owns the job
// (there is always exactly one; New and Open replace it as a whole, only when it does not
// work) and the roster, which is the device manager's delegate. It keeps no copy of the
// engine's state: windows read the job and the roster and follow their signals.
//
// Questions and panels go through the AlertController and FilePanels seams; each command
// returns once its questions are answered, while the job goes on in the background.
//
// Threading: main thread only.
class AppController : public QObject {
    Q_OBJECT
public:
    enum class Field { AppId, Folder };

    AppController(AlertController& alerts, FilePanels& panels, UserDefaults& defaults, QObject* parent = nullptr);
    // Stops a job that still works, so no copy thread outlives its job.
    ~AppController() override;

    PortJob* currentJob() const { return m_job.get(); }
    const std::shared_ptr<PortJob>& sharedJob() const { return m_job; }
    DeviceRoster& roster() { return *m_roster; }
    DeviceManager& deviceManager() { return *m_manager; }

    // The window sheets are shown on; null uses the active window.
    void setWindow(QWidget* window) { m_window = window; }

    // Serves the devices of the service (iPhone, iPod touch and iPad) through the roster.
    void startDevices(std::shared_ptr<MobileDeviceService> service);

    // --- Commands --------------------------------------------------------------------
    void OnNew();
    void OnLoad();
    // Opens a job file handed over from outside (command line, file manager, drop, Open
    // Recent): true when it was read, and true when the user chose to keep the running job.
    bool openJobFile(const QString& path);
    void OnSave();
    void OnSaveAs();
    void OnChooseFile();
    // Adds paths the way the add-files panel does (drops use it): paths already listed are
    // skipped. Returns how many were added.
    int addFiles(const QStringList& paths);
    void OnRemove(std::vector<int> rows);
    void OnStart();
    // True when no job works any more: nothing ran, or the user agreed to stop it.
    bool stopTransfer();
    void OnExcludeDevice(int row);
    // Takes back the excluded-device record at that index of the job's list.
    void includeExcludedDevice(int index);

    // Job files opened or saved by name, newest first.
    QStringList recentDocuments() const;
    // Whether the job changed since it was made, read or saved.
    bool isModified() const { return m_modified; }

signals:
    // Around every replacement of the job; views rebind to currentJob() on jobReplaced.
    void jobAboutToBeReplaced();
    void jobReplaced();
    // A check of Start wants the user at this field.
    void focusRequested(kestrap::app::AppController::Field field);
    void modifiedChanged(bool modified);
    void recentDocumentsChanged();

private:
    void replaceJob();
    bool readJobFile(const QString& path);
    void noteRecentDocument(const QString& path);
    void setModified(bool modified);
    void showLastError();

    AlertController& m_alerts;
    FilePanels& m_panels;
    UserDefaults& m_defaults;
    QPointer<QWidget> m_window;
    std::shared_ptr<PortJob> m_job;
    std::unique_ptr<DeviceRoster> m_roster;
    std::unique_ptr<DeviceManager> m_manager;
    bool m_modified = false;
};

}  // namespace kestrap::app
