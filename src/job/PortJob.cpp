#include "job/PortJob.h"

#include "logging/Log.h"
#include "settings/Settings.h"

#include <QDateTime>
#include <QEventLoop>
#include <algorithm>

namespace kestrap {

PortJob::PortJob(QObject* parent) : QObject(parent), m_events(new JobEvents(this))
{
    // Registered here, on the job's thread, rather than lazily by the first copy threads at once.
    qRegisterMetaType<ProgressBoard::SlotPtr>();
    qRegisterMetaType<DeviceRowPtr>();
    connect(m_events, &JobEvents::rowStatus, this, &PortJob::onRowStatus);
    connect(m_events, &JobEvents::statusMessage, this, &PortJob::setStatusMessage);
    connect(m_events, &JobEvents::progressAdded, this, &PortJob::onProgressAdded);
    connect(m_events, &JobEvents::progress, this, &PortJob::transferProgressChanged);
    setStatusMessage(QStringLiteral("Not running!"));
}

PortJob::~PortJob()
{
    // Copies use the run to the end; a job that goes while it works stops them first. No
    // event loop runs here: nothing a copy does waits for this thread.
    m_scheduler.requestStop();
    m_scheduler.join();
}

void PortJob::setStatusMessage(const QString& message)
{
    m_statusMessage = message;
    emit statusMessageChanged(message);
}

QString PortJob::actionButtonTitle() const
{
    return m_isWorking ? QStringLiteral("Stop") : QStringLiteral("Start");
}

void PortJob::setExcludedDevices(const QStringList& uids)
{
    m_excluded = uids;
    bool dequeued = false;
    std::size_t queued = 0;
    for (const QString& uid : uids)
        dequeued = m_scheduler.dequeue(uid, &queued) || dequeued;
    if (dequeued && m_isWorking)
        setStatusMessage(queueMessage(queued));
}

// --- Running ---------------------------------------------------------------------------------

void PortJob::setWorking(bool working)
{
    m_isWorking = working;
    emit workingChanged(working);
}

JobResult PortJob::start(const JobSettings& settings)
{
    if (m_isWorking)
        return {};
    return start(SendPlan::collect(settings), settings);
}

JobResult PortJob::start(SendPlan plan, const JobSettings& settings)
{
    if (m_isWorking)
        return {};
    m_plan = std::move(plan);
    if (m_plan.isEmpty()) {
        if (!m_plan.error().isEmpty())
            return JobError {QStringLiteral("Start"), -2, m_plan.error(), {}};
        return JobError {
            QStringLiteral("Start"), -1, QStringLiteral("No files to copy, please check the filter settings."), {}};
    }
    auto run = std::make_shared<JobRun>(m_progress, *m_events);
    run->appId = settings.appId;
    run->folder = settings.folder;
    run->plan = m_plan;
    run->destinations.reserve(m_plan.files().size());
    for (const SendEntryPtr& entry : m_plan.files())
        run->destinations.push_back(
            {SendPlan::remoteFolderOf(run->folder, *entry), SendPlan::remotePathOf(run->folder, *entry)});
    run->concurrency = m_concurrencyOverride >= 0 ? m_concurrencyOverride : Settings::settings().concurrency();
    run->progressPause = m_progressPauseOverride >= 0 ? m_progressPauseOverride : Settings::settings().progressPause();
    run->skipUnchanged = m_skipUnchangedOverride.value_or(Settings::settings().skipUnchanged());
    run->verify = m_verifyOverride.value_or(Settings::settings().verifyCopies());
    run->connectionsPerDevice = m_connectionsOverride.value_or(Settings::settings().connectionsPerDevice());
    run->kind = m_kind;
    run->force = m_force;
    m_mirror.reset();
    if (m_kind == RunKind::Send && m_mirrorOverride.value_or(Settings::settings().mirrorFolders())) {
        QStringList destinations;
        for (const JobRun::Destination& d : run->destinations)
            destinations << d.path;
        m_mirror = std::make_shared<const MirrorPlan>(MirrorPlan::mirroredFolders(settings), destinations);
        run->mirror = m_mirror;
    }
    // The pause only spaces the updates of a row: copies never wait for the display. Below
    // the events' own interval a display with dozens of devices would be flooded.
    m_events->setProgressInterval(
        std::max(JobEvents::kProgressInterval, std::chrono::milliseconds(qint64(run->progressPause * 1000))));
    // A runner paused before it starts holds its copies before their first file.
    run->setPaused(m_isPaused);
    m_run = run;
    setWorking(true);
    // Posted to this thread: the job is told by an event, never by a look at a flag. The
    // destructor joins the scheduler before the QObject goes, which discards the event.
    m_scheduler.start(
        run, [this] { QMetaObject::invokeMethod(this, &PortJob::finishStop, Qt::QueuedConnection); },
        [this] { QMetaObject::invokeMethod(this, &PortJob::onRunIdle, Qt::QueuedConnection); });
    setStatusMessage(QStringLiteral("Ready for transferring."));
    return {};
}

void PortJob::requestStop()
{
    if (!m_isWorking || m_isStopping)
        return;
    m_isStopping = true;
    emit stoppingChanged(true);
    m_scheduler.requestStop();
}

void PortJob::stop()
{
    if (!m_isWorking)
        return;
    QEventLoop loop;
    connect(this, &PortJob::stopped, &loop, &QEventLoop::quit);
    requestStop();
    loop.exec();
}

void PortJob::finishStop()
{
    if (!m_isStopping)
        return;
    m_scheduler.join();
    // What the copies posted before they ended is shown before the job says it stopped.
    m_events->drain();
    m_isStopping = false;
    setWorking(false);
    setStatusMessage(QStringLiteral("Stopped!"));
    KLOG_WARN("The transfer job has been stopped!");
    m_scheduler.clearQueue();
    m_run.reset();
    emit stoppingChanged(false);
    emit stopped();
}

void PortJob::onRunIdle()
{
    if (!m_isWorking || m_isStopping)
        return;
    // The last copies' statuses and records come before the word that they ended.
    m_events->drain();
    emit runIdle();
}

void PortJob::pause()
{
    m_isPaused = true;
    if (m_run)
        m_run->setPaused(true);
}

void PortJob::resume()
{
    m_isPaused = false;
    if (m_run)
        m_run->setPaused(false);
}

bool PortJob::isPaused() const
{
    return m_isPaused;
}

std::vector<DeviceRowPtr> PortJob::doneDevices() const
{
    return m_run ? m_run->doneDevices() : std::vector<DeviceRowPtr> {};
}

QStringList PortJob::mirroredFolders() const
{
    return m_mirror ? m_mirror->folders() : QStringList {};
}

std::int32_t PortJob::threadsConcurrency() const
{
    return m_run ? m_run->concurrency : 0;
}

void PortJob::addDeviceToQueue(const DeviceRowPtr& row)
{
    if (!row || m_excluded.contains(row->uid))
        return;
    setStatusMessage(queueMessage(m_scheduler.add(row)));
}

void PortJob::removeDeviceFromQueue(const DeviceRowPtr& row)
{
    if (!row)
        return;
    std::size_t queued = 0;
    if (m_scheduler.remove(row, &queued) && m_isWorking)
        setStatusMessage(queueMessage(queued));
}

void PortJob::onRowStatus(const DeviceRowPtr& row, int status, bool finished)
{
    row->status = status;
    if (finished)
        row->doneTime = QDateTime::currentDateTime();
    emit deviceStatusChanged(row);
}

void PortJob::onProgressAdded(int index)
{
    emit transferProgressAboutToBeAdded(index);
    m_publishedProgress = std::max(m_publishedProgress, index + 1);
    emit transferProgressAdded(index);
}

}  // namespace kestrap
