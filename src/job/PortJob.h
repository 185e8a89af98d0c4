#pragma once

#include "device/iMobileDevice.h"
#include "job/JobEvents.h"
#include "job/JobScheduler.h"
#include "job/JobSettings.h"
#include "job/ProgressBoard.h"
#include "job/Records.h"
#include "job/SendPlan.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace kestrap {

// The runner of a job: it serves the devices queued to it with the send plan of a run,
// through the device queue and scheduler (JobScheduler), one DeviceCopy per device served,
// and keeps the progress records of every device it served (ProgressBoard). What it sends
// is not its own: each start is handed a copy of a document's settings (JobDocument) and
// holds no link to the document, which may be edited or replaced while the run goes on.
// Devices the document leaves out are told to it as uids (setExcludedDevices()).
//
// Observers connect to typed signals that say what changed. Every signal is emitted on the
// runner's thread: copy threads and the scheduler post their changes (JobEvents) and never
// wait for that thread, whose event loop must run while a run works.
//
// Threads: the runner lives on one thread (the main thread of a program), where start(),
// stop(), pause(), resume(), setExcludedDevices(), addDeviceToQueue() and
// removeDeviceFromQueue() are called. Destroying it while it works stops the run and waits
// for its copies, without running the event loop; never from a slot of its own signals.
class PortJob : public QObject {
    Q_OBJECT

public:
    explicit PortJob(QObject* parent = nullptr);
    ~PortJob() override;

    // Builds the send list from the settings and starts serving queued devices; the error
    // when there is nothing to send. Nothing while a run works.
    JobResult start(const JobSettings& settings);
    // The same with a send list collected elsewhere from those settings (a window collects
    // on a worker, so a big tree does not hold it).
    JobResult start(SendPlan plan, const JobSettings& settings);
    // Asks the run to end and returns at once: copies end after the file in progress. Until
    // then the runner works and isStopping() is true; stopped() says when every copy has
    // ended. Nothing while no run works or a stop is under way.
    void requestStop();
    bool isStopping() const { return m_isStopping; }
    // requestStop(), then runs the event loop until stopped() (for programs with no window,
    // where nothing can destroy the runner meanwhile). Returns at once when nothing works.
    void stop();
    // Copies finish the file in progress and wait before their next one.
    void pause();
    void resume();
    bool isPaused() const;

    // The devices left out, by uid: a device waiting in the queue leaves it (a copy serving
    // it goes on), and none of them is queued from now on.
    void setExcludedDevices(const QStringList& uids);
    bool isDeviceExcluded(const QString& uid) const { return m_excluded.contains(uid); }
    // Queues a device unless it is excluded or queued already.
    void addDeviceToQueue(const DeviceRowPtr& row);
    // A device went away: it leaves the queue, and a copy serving it ends after the file in
    // progress with the device "Failed".
    void removeDeviceFromQueue(const DeviceRowPtr& row);

    bool isWorking() const { return m_isWorking; }
    // "Stop" while working, else "Start".
    QString actionButtonTitle() const;
    const QString& statusMessage() const { return m_statusMessage; }
    void setStatusMessage(const QString& message);

    // Rows waiting for a copy, oldest last.
    std::vector<DeviceRowPtr> deviceQueue() const { return m_scheduler.queue(); }
    // Devices being served now.
    int runningThreads() const { return m_scheduler.runningThreads(); }
    // Devices that finished in the current run.
    std::vector<DeviceRowPtr> doneDevices() const;
    std::int32_t threadsConcurrency() const;

    // Progress records as the runner's thread has been told of them: count and copies. One
    // per device served, in the order first served.
    int transferProgressCount() const { return m_publishedProgress; }
    ProgressRecord transferProgressAt(int index) const { return m_progress.at(index); }
    // Every record as it is now, including those not yet announced.
    std::vector<ProgressRecord> transferProgresses() const { return m_progress.all(); }

    // Overrides of the settings read at start; a negative value means "use the settings".
    void setConcurrencyOverride(std::int32_t concurrency) { m_concurrencyOverride = concurrency; }
    void setProgressPauseOverride(double seconds) { m_progressPauseOverride = seconds; }
    // The command line's --skip-unchanged and --verify, over the user defaults.
    void setSkipUnchangedOverride(bool on) { m_skipUnchangedOverride = on; }
    void setVerifyOverride(bool on) { m_verifyOverride = on; }
    void setConnectionsOverride(std::int32_t connections) { m_connectionsOverride = connections; }
    // The command line's --mirror, over the "mirrorFolders" user default.
    void setMirrorOverride(bool on) { m_mirrorOverride = on; }
    // What the next start does to each device: send (the default) or take the job back.
    void setRunKind(RunKind kind) { m_kind = kind; }
    RunKind runKind() const { return m_kind; }
    // Taking a job back: remove the job's files from a device even where their size differs.
    void setForce(bool on) { m_force = on; }
    // The device folders the last start mirrors; empty when it does not mirror.
    QStringList mirroredFolders() const;

    // The send list of the last start.
    const SendPlan& sendPlan() const { return m_plan; }
    const std::vector<SendEntryPtr>& singleFiles() const { return m_plan.files(); }
    std::uint64_t totalFileSize() const { return m_plan.totalFileSize(); }

signals:
    void workingChanged(bool working);
    void stoppingChanged(bool stopping);
    // The run asked to stop has ended: emitted after workingChanged(false). The runner must
    // not be destroyed from a slot of its own signals; a receiver that replaces it posts that.
    void stopped();
    // Every device queued so far has been served and none is copied now: the records say
    // how each serving ended. Not emitted while the job stops.
    void runIdle();
    void statusMessageChanged(const QString& message);
    // A row's status (and, when it finished, its done time) was changed by a copy.
    void deviceStatusChanged(const kestrap::DeviceRowPtr& row);
    void transferProgressAboutToBeAdded(int index);
    void transferProgressAdded(int index);
    // Coalesced to about JobEvents::kProgressInterval per record; the record's latest
    // values are read with transferProgressAt().
    void transferProgressChanged(int index);

private:
    void setWorking(bool working);
    void onRowStatus(const DeviceRowPtr& row, int status, bool finished);
    void onProgressAdded(int index);
    void finishStop();
    void onRunIdle();

    QString m_statusMessage;
    SendPlan m_plan;  // of the last start
    QStringList m_excluded;  // uids

    ProgressBoard m_progress;
    int m_publishedProgress = 0;
    JobEvents* m_events;  // a child: dies with the job, and with it every delivery not yet made
    JobScheduler m_scheduler;
    std::shared_ptr<JobRun> m_run;  // of the run under way, or the last one

    bool m_isWorking = false;
    bool m_isStopping = false;
    bool m_isPaused = false;
    std::int32_t m_concurrencyOverride = -1;
    double m_progressPauseOverride = -1;
    std::optional<bool> m_skipUnchangedOverride;
    std::optional<bool> m_verifyOverride;
    std::optional<std::int32_t> m_connectionsOverride;
    std::optional<bool> m_mirrorOverride;
    RunKind m_kind = RunKind::Send;
    bool m_force = false;
    std::shared_ptr<const MirrorPlan> m_mirror;  // of the last start
};

}  // namespace kestrap
