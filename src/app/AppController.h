#pragma once

#include "app/RunSummary.h"

#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

namespace kestrap {
class DeviceManager;
class DeviceRoster;
class MobileDeviceService;
class PortJob;
class SendPlan;
class UserDefaults;
}  // namespace kestrap

namespace kestrap::app {

class AlertController;
class FilePanels;
class SendListPreparation;

// The main window's commands over the current job and the device roster. It owns the job
// (there is always exactly one; New and Open replace it as a whole, only when it does not
// work) and the roster, which is the device manager's delegate. It keeps no copy of the
// engine's state: windows read the job and the roster and follow their signals.
//
// A stop is a state, not a wait: Stop asks the job to stop and returns; until the job says
// it stopped, commands that replace or start the job are refused (isStopping()), and a
// command the person confirmed by agreeing to stop the job (New, Open, Quit) runs then.
// A job that is modified is settled first ("Save changes to NAME?"); an opened file is read
// into a job of its own, which replaces the current one only when the read succeeded.
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
    // Recent): false when it could not be read (the current job stays and the person was
    // told why); true otherwise, also when the person kept the current job.
    bool openJobFile(const QString& path);
    // Save and Save As: false when nothing was written (cancelled or failed, said why).
    bool OnSave();
    bool OnSaveAs();
    void OnChooseFile();
    void OnChooseFolder();
    // Adds paths the way the add-files panel does (drops use it): paths already listed are
    // skipped. Returns how many were added.
    int addFiles(const QStringList& paths);
    void OnRemove(std::vector<int> rows);
    void OnStart();
    // The way out: settles a modified job, asks to stop a running one ("Stop the running
    // job and quit?", Cancel keeps both going) and emits quitReady once no job works. While
    // a stop is under way it only waits for it.
    void requestQuit();
    // The end asked from outside (a termination signal), when nobody can be asked: a running
    // job stops as Stop stops it, then quitReady. Unsaved edits are not saved.
    void endNow();
    // A stop is under way: commands that replace or start the job do nothing meanwhile.
    bool isStopping() const;
    // Start collects the send list on a worker first; the job works once it is ready. Start
    // pressed meanwhile calls it off, and so does replacing the job or quitting.
    bool isPreparing() const { return m_preparation != nullptr; }
    void OnExcludeDevice(int row);
    // Several rows of the device list at once.
    void OnExcludeDevices(const std::vector<int>& rows);
    void OnIncludeDevices(const std::vector<int>& rows);
    // Takes back the excluded-device record at that index of the job's list.
    void includeExcludedDevice(int index);

    // The name of the connected device with that uid; empty when none is connected.
    QString deviceName(const QString& uid) const;
    // Says how the servings that ended since the last summary went ("3 devices finished, 1
    // failed."), with the devices that did not get everything and why. Shown by itself when
    // the job has served every device it was given.
    void showRunSummary();

    // Job files opened or saved by name that still exist, newest first.
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
    void stoppingChanged(bool stopping);
    void preparingChanged(bool preparing);
    // No job works any more after requestQuit(): the program may end.
    void quitReady();

private:
    void replaceJob(std::shared_ptr<PortJob> job = {});
    // Replaces the job once the current one is settled and stopped (after the questions).
    void replaceWhenFree(std::shared_ptr<PortJob> job, const QString& recentPath);
    // Reads a job file into a job of its own; null when it could not be read (said why).
    std::shared_ptr<PortJob> readJobFile(const QString& path);
    // "Save changes to NAME?" for a modified job: false when cancelled or not saved.
    bool settleChanges();
    // Nothing works, or the person agreed to stop the job with then to run once it stopped:
    // true when the caller may go on now.
    bool stopBefore(const QString& question, const QString& agree, std::function<void()> then);
    void onJobStopped();
    void prepareStart();
    void startPrepared(const SendPlan& plan);
    void cancelPreparation();
    void noteRecentDocument(const QString& path);
    void setModified(bool modified);
    void showLastError();
    QString documentName() const;

    AlertController& m_alerts;
    FilePanels& m_panels;
    UserDefaults& m_defaults;
    QPointer<QWidget> m_window;
    std::shared_ptr<PortJob> m_job;
    std::unique_ptr<DeviceRoster> m_roster;
    std::unique_ptr<DeviceManager> m_manager;
    bool m_modified = false;
    std::function<void()> m_afterStop;  // what the person agreed to stop the job for
    RunSummarizer m_summarizer;
    std::unique_ptr<SendListPreparation> m_preparation;
};

}  // namespace kestrap::app
