#pragma once

#include "app/RunSummary.h"
#include "job/JobRun.h"

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
class JobDocument;
class MobileDeviceService;
class PortJob;
class SendPlan;
class UserDefaults;
}  // namespace kestrap

namespace kestrap::app {

class AlertController;
class AppCatalog;
class DesktopNotifier;
class FilePanels;
class SendListPreparation;

// The main window's commands over the current job and the device roster. It owns the job's
// document (there is always exactly one; New and Open replace it as a whole) and its runner,
// which starts on a copy of the document's settings, and the roster, which is the device
// manager's delegate and links both. The runner is renewed with the document, and only while
// it does not work, so a new document starts with no records of an earlier run. It keeps no
// copy of the engine's state: windows read the document, the runner and the roster and
// follow their signals.
//
// A stop is a state, not a wait: Stop asks the runner to stop and returns; until it says it
// stopped, commands that replace or start the job are refused (isStopping()), and a command
// the person confirmed by agreeing to stop the job (New, Open, Quit) runs then. A document
// that is modified is settled first ("Save changes to NAME?"); an opened file is read into a
// document of its own, which replaces the current one only when the read succeeded.
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

    JobDocument* currentDocument() const { return m_document.get(); }
    const std::shared_ptr<JobDocument>& sharedDocument() const { return m_document; }
    // The runner of the current document; renewed with it.
    PortJob* runner() const { return m_runner.get(); }
    DeviceRoster& roster() { return *m_roster; }
    DeviceManager& deviceManager() { return *m_manager; }
    // The apps of the connected devices, for the App ID field and Start's check.
    AppCatalog& appCatalog() { return *m_catalog; }

    // Where the end of a run is told while the window is in the background (not owned; null
    // tells nobody).
    void setNotifier(DesktopNotifier* notifier) { m_notifier = notifier; }

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
    // Job > "Remove Job's Files from Devices…": asks, then serves every connected device as
    // a run does, taking the job's files off it instead of sending them.
    void OnRemoveFromDevices();
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
    // Takes back the excluded-device record at that index of the document's list.
    void includeExcludedDevice(int index);

    // The name of the connected device with that uid; empty when none is connected.
    QString deviceName(const QString& uid) const;
    // Says how the servings that ended since the last summary went ("3 devices finished, 1
    // failed."), with the devices that did not get everything and why. Shown by itself when
    // the job has served every device it was given.
    void showRunSummary();

    // Writes who got what in the last run where the person chooses; says why when it cannot.
    void saveReport();

    // Job files opened or saved by name that still exist, newest first.
    QStringList recentDocuments() const;

signals:
    // Around every replacement of the document (and with it the runner); views rebind to
    // currentDocument() and runner() on documentReplaced.
    void documentAboutToBeReplaced();
    void documentReplaced();
    // A check of Start wants the user at this field.
    void focusRequested(kestrap::app::AppController::Field field);
    void recentDocumentsChanged();
    void stoppingChanged(bool stopping);
    void preparingChanged(bool preparing);
    // No job works any more after requestQuit(): the program may end.
    void quitReady();

private:
    void replaceDocument(std::shared_ptr<JobDocument> document = {});
    // Replaces the document once the current one is settled and stopped (after the questions).
    void replaceWhenFree(std::shared_ptr<JobDocument> document, const QString& recentPath);
    // Reads a job file into a document of its own; null when it could not be read (said why).
    std::shared_ptr<JobDocument> readJobFile(const QString& path);
    // "Save changes to NAME?" for a modified document: false when cancelled or not saved.
    bool settleChanges();
    // Nothing works, or the person agreed to stop the job with then to run once it stopped:
    // true when the caller may go on now.
    bool stopBefore(const QString& question, const QString& agree, std::function<void()> then);
    void onJobStopped();
    // Devices Start would serve that lack the app: the person may still go on. False: cancelled.
    bool confirmDevicesLackingApp();
    void notifyRunEnded(const RunSummary& summary);
    void prepareStart();
    // With mirroring on, asks once whether the run may remove, naming the folders: false
    // when the person said no.
    bool mirrorAgreed();
    void startPrepared(const SendPlan& plan);
    void cancelPreparation();
    void noteRecentDocument(const QString& path);
    bool saveTo(const QString& path);
    QString documentName() const;

    AlertController& m_alerts;
    FilePanels& m_panels;
    UserDefaults& m_defaults;
    QPointer<QWidget> m_window;
    std::shared_ptr<JobDocument> m_document;
    std::unique_ptr<PortJob> m_runner;
    std::unique_ptr<DeviceRoster> m_roster;
    std::unique_ptr<DeviceManager> m_manager;
    std::unique_ptr<AppCatalog> m_catalog;
    DesktopNotifier* m_notifier = nullptr;
    std::function<void()> m_afterStop;  // what the person agreed to stop the job for
    RunSummarizer m_summarizer;
    std::unique_ptr<SendListPreparation> m_preparation;
    RunKind m_preparedKind = RunKind::Send;  // what the start being prepared does
};

}  // namespace kestrap::app
