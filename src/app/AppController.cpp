#include "app/AppController.h"

#include "app/AlertController.h"
#include "app/AppCatalog.h"
#include "app/DesktopNotifier.h"
#include "app/FilePanels.h"
#include "app/SendListPreparation.h"
#include "device/DeviceManager.h"
#include "device/ios/MobileDeviceService.h"
#include "job/DeviceRoster.h"
#include "job/JobDocument.h"
#include "job/MirrorPlan.h"
#include "job/PortJob.h"
#include "job/RunReport.h"
#include "settings/Settings.h"
#include "settings/UserDefaults.h"
#include "util/Helpers.h"

#include <QFileInfo>
#include <utility>

namespace kestrap::app {

namespace {

const QString kRecentDocumentsKey = QStringLiteral("recentDocuments");
constexpr int kMaxRecentDocuments = 10;

}  // namespace

AppController::AppController(AlertController& alerts, FilePanels& panels, UserDefaults& defaults, QObject* parent)
    : QObject(parent)
    , m_alerts(alerts)
    , m_panels(panels)
    , m_defaults(defaults)
    , m_roster(std::make_unique<DeviceRoster>())
    , m_manager(std::make_unique<DeviceManager>())
    , m_catalog(std::make_unique<AppCatalog>(*m_roster))
{
    replaceDocument();
}

AppController::~AppController()
{
    // The manager calls the roster; it goes first. A runner still at work is stopped by its
    // own destructor, which waits for the copies without running the event loop.
    m_manager->setDelegate(nullptr);
    m_roster->setJob(nullptr, nullptr);
    m_runner.reset();
}

void AppController::startDevices(std::shared_ptr<MobileDeviceService> service)
{
    m_manager->setDeviceSupport(DeviceSupportPhone | DeviceSupportPad);
    m_manager->setMobileDeviceService(service);
    m_manager->setDelegate(m_roster.get());
    m_manager->start();
    if (service)
        service->announceAttachedDevices();
}

void AppController::replaceDocument(std::shared_ptr<JobDocument> document)
{
    // A send list being collected was the old document's.
    cancelPreparation();
    emit documentAboutToBeReplaced();
    if (!document)
        document = std::make_shared<JobDocument>();
    // Only ever replaced while the runner does not work: the old one goes with its records.
    auto runner = std::make_unique<PortJob>();
    m_roster->setJob(document.get(), runner.get());
    m_document = std::move(document);
    m_runner = std::move(runner);
    connect(m_runner.get(), &PortJob::stoppingChanged, this, &AppController::stoppingChanged);
    // Queued: what runs after the stop may replace the runner, which must not go while it emits.
    connect(m_runner.get(), &PortJob::stopped, this, &AppController::onJobStopped, Qt::QueuedConnection);
    // Queued: the summary waits for an answer, which must not hold the runner's own signal.
    connect(m_runner.get(), &PortJob::runIdle, this, &AppController::showRunSummary, Qt::QueuedConnection);
    m_summarizer.reset();
    emit documentReplaced();
}

bool AppController::saveTo(const QString& path)
{
    if (const JobResult written = m_document->writeToFile(path); !written) {
        m_alerts.MsgBox(written.error().description, m_window);
        return false;
    }
    return true;
}

QString AppController::documentName() const
{
    const QString saved = m_document->savedFilePath();
    return saved.isEmpty() ? QStringLiteral("Untitled") : QFileInfo(saved).fileName();
}

bool AppController::isStopping() const
{
    return m_runner->isStopping();
}

bool AppController::stopBefore(const QString& question, const QString& agree, std::function<void()> then)
{
    if (!m_runner->isWorking())
        return true;
    if (m_runner->isStopping())
        return false;
    // Held while the person decides, so the question is about the state they see.
    m_runner->pause();
    const bool stop = m_alerts.confirmAction(question, agree, m_window);
    m_runner->resume();
    if (!stop)
        return false;
    m_afterStop = std::move(then);
    m_runner->requestStop();
    return false;
}

void AppController::onJobStopped()
{
    if (auto then = std::exchange(m_afterStop, {}))
        then();
}

bool AppController::settleChanges()
{
    if (!m_document->isModified())
        return true;
    switch (m_alerts.askToSaveChanges(documentName(), m_window)) {
    case AlertController::SaveAnswer::Save:
        return OnSave();
    case AlertController::SaveAnswer::Discard:
        return true;
    case AlertController::SaveAnswer::Cancel:
        break;
    }
    return false;
}

void AppController::replaceWhenFree(std::shared_ptr<JobDocument> document, const QString& recentPath)
{
    auto replace = [this, document, recentPath] {
        replaceDocument(document);
        if (!recentPath.isEmpty())
            noteRecentDocument(recentPath);
    };
    if (stopBefore(QStringLiteral("An instance is running, would you like to stop it and continue?"),
            QStringLiteral("Stop"), replace))
        replace();
}

void AppController::requestQuit()
{
    const auto quit = [this] {
        cancelPreparation();
        emit quitReady();
    };
    if (m_runner->isStopping()) {
        m_afterStop = quit;
        return;
    }
    if (!settleChanges())
        return;
    if (stopBefore(QStringLiteral("Stop the running job and quit?"), QStringLiteral("Stop and Quit"), quit))
        quit();
}

void AppController::endNow()
{
    const auto quit = [this] {
        cancelPreparation();
        emit quitReady();
    };
    if (!m_runner->isWorking()) {
        quit();
        return;
    }
    m_afterStop = quit;
    m_runner->requestStop();
}

void AppController::OnNew()
{
    if (isStopping() || !settleChanges())
        return;
    replaceWhenFree(nullptr, {});
}

namespace {

// Why a job file could not be read, in the person's terms: the file is gone, cannot be
// read, or is not a sound job file.
QString openFailure(const QString& path, const JobError& error)
{
    const QFileInfo info(path);
    const QString head = QStringLiteral("\u201C") + info.fileName() + QStringLiteral("\u201D cannot be opened: ");
    if (!info.exists())
        return head + QStringLiteral("the file does not exist (it may have been moved or deleted).");
    if (!info.isFile() || !info.isReadable())
        return head + QStringLiteral("the file cannot be read (") + error.reason + QStringLiteral(").");
    QString text = head + QStringLiteral("the file is damaged or is not a Kestrap job.");
    if (!error.reason.isEmpty())
        text += QLatin1Char('\n') + error.reason;
    return text;
}

}  // namespace

std::shared_ptr<JobDocument> AppController::readJobFile(const QString& path)
{
    auto document = std::make_shared<JobDocument>();
    JobResult read = document->readFromFile(path, false);
    if (read)
        return document;
    if (read.error().code == JobFile::ChecksumMismatch) {
        // The checksum does not match: the person may still want what the file holds.
        if (!m_alerts.confirmWithMessage(read.error().description, m_window))
            return nullptr;
        read = document->readFromFile(path, true);
        if (read)
            return document;
    }
    m_alerts.MsgBox(openFailure(path, read.error()), m_window);
    return nullptr;
}

void AppController::OnLoad()
{
    if (isStopping())
        return;
    const QString path = m_panels.openJobFile(m_window);
    if (path.isEmpty())
        return;
    openJobFile(path);
}

bool AppController::openJobFile(const QString& path)
{
    if (isStopping())
        return true;
    auto document = readJobFile(path);
    if (!document)
        return false;
    if (settleChanges())
        replaceWhenFree(std::move(document), path);
    return true;
}

bool AppController::OnSave()
{
    if (IsEmpty(m_document->savedFilePath()))
        return OnSaveAs();
    return saveTo(m_document->savedFilePath());
}

bool AppController::OnSaveAs()
{
    const QString path = m_panels.saveJobFile(m_window);
    if (path.isEmpty())
        return false;
    if (!saveTo(path))
        return false;
    noteRecentDocument(path);
    return true;
}

void AppController::OnChooseFile()
{
    const QStringList paths = m_panels.chooseFiles(m_window);
    if (!paths.isEmpty())
        addFiles(paths);
}

void AppController::OnChooseFolder()
{
    const QString folder = m_panels.chooseFolder(m_window);
    if (!folder.isEmpty())
        addFiles({folder});
}

int AppController::addFiles(const QStringList& paths)
{
    return m_document->addFilePaths(paths);
}

void AppController::OnRemove(std::vector<int> rows)
{
    if (rows.empty())
        return;
    m_document->removeFilePathsAt(std::move(rows));
}

void AppController::OnStart()
{
    // Pressed again while the send list is collected: the start is called off.
    if (m_preparation) {
        cancelPreparation();
        m_runner->setStatusMessage(QStringLiteral("Start cancelled."));
        return;
    }
    if (m_runner->isWorking()) {
        m_runner->requestStop();
        return;
    }
    switch (m_document->startCheck()) {
    case StartCheck::NoFiles:
        if (m_alerts.confirmWithMessage(
                QStringLiteral("There is no file to be transferred, do you want to add now?"), m_window))
            OnChooseFile();
        return;
    case StartCheck::NoAppId:
        m_alerts.MsgBox(QStringLiteral("App ID can't be empty!"), m_window);
        emit focusRequested(Field::AppId);
        return;
    case StartCheck::NoFolder:
        m_alerts.MsgBox(QStringLiteral("Please specify a folder under the App."), m_window);
        emit focusRequested(Field::Folder);
        return;
    case StartCheck::Ready:
        break;
    }
    if (!confirmDevicesLackingApp())
        return;
    if (!mirrorAgreed())
        return;
    m_preparedKind = RunKind::Send;
    prepareStart();
}

bool AppController::confirmDevicesLackingApp()
{
    QStringList uids;
    for (const DeviceRowPtr& row : m_roster->rows())
        if (row->status != DeviceStatusExcluded)
            uids << row->uid;
    const QString appId = m_document->appId();
    const int lacking = m_catalog->devicesLacking(appId, uids);
    if (lacking == 0)
        return true;
    const QString message = lacking == 1
        ? QStringLiteral("1 of %1 devices does not have %2: it will fail.").arg(uids.size()).arg(appId)
        : QStringLiteral("%1 of %2 devices do not have %3: they will fail.").arg(lacking).arg(uids.size()).arg(appId);
    return m_alerts.confirmWithTitle(QStringLiteral("Start anyway?"), message, m_window);
}

void AppController::OnRemoveFromDevices()
{
    if (m_preparation || m_runner->isWorking() || isStopping())
        return;
    if (m_document->startCheck() != StartCheck::Ready) {
        OnStart();  // says what is missing, as Start does
        return;
    }
    if (!m_alerts.confirmAction(QStringLiteral("Remove the files this job sends from every connected device?"),
            QStringLiteral("Remove"), m_window))
        return;
    m_preparedKind = RunKind::Remove;
    prepareStart();
}

bool AppController::mirrorAgreed()
{
    if (!m_defaults.boolForKey(kMirrorFoldersKey))
        return true;
    const QStringList folders = MirrorPlan::mirroredFolders(m_document->settings());
    if (folders.isEmpty())
        return true;  // single files only: nothing would be removed
    return m_alerts.confirmWithTitle(QStringLiteral("Remove files the job no longer has?"),
        QStringLiteral("On each device that gets every file, whatever these folders hold beyond the job is "
                       "removed:\n%1")
            .arg(folders.join(u'\n')),
        m_window);
}

void AppController::saveReport()
{
    const QString path = m_panels.saveReportFile(m_window);
    if (path.isEmpty())
        return;
    std::vector<RunReport::Row> report;
    for (const ProgressRecord& record : m_runner->transferProgresses()) {
        DeviceRow gone {nullptr, record.deviceid, record.deviceid, {}, {}, {}, {}};
        const DeviceRow* row = &gone;
        for (const DeviceRowPtr& r : m_roster->rows())
            if (r->uid == record.deviceid)
                row = r.get();
        report.push_back(RunReport::rowOf(*row, &record));
    }
    if (const JobResult written = RunReport::write(path, report); !written)
        m_alerts.MsgBox(written.error().description + u'\n' + written.error().reason, m_window);
}

void AppController::prepareStart()
{
    m_preparation = std::make_unique<SendListPreparation>(m_document->settings());
    connect(m_preparation.get(), &SendListPreparation::foundChanged, this, [this](std::size_t found) {
        m_runner->setStatusMessage(QStringLiteral("Preparing\u2026 %L1 files found").arg(qulonglong(found)));
    });
    connect(m_preparation.get(), &SendListPreparation::ready, this, &AppController::startPrepared);
    m_runner->setStatusMessage(QStringLiteral("Preparing\u2026"));
    emit preparingChanged(true);
}

void AppController::startPrepared(const SendPlan& plan)
{
    // The list is copied before the preparation goes (later: this runs in its signal).
    const SendPlan collected = plan;
    cancelPreparation();
    m_roster->queueAll();
    m_runner->setRunKind(m_preparedKind);
    m_runner->setMirrorOverride(m_defaults.boolForKey(kMirrorFoldersKey));
    // The run takes its own copy of the settings: the document stays free to edit.
    const JobResult started = m_runner->start(collected, m_document->settings());
    // Taking a job back is asked for each time; the next Start sends again.
    m_runner->setRunKind(RunKind::Send);
    m_preparedKind = RunKind::Send;
    if (!started)
        m_alerts.MsgBox(started.error().description, m_window);
}

void AppController::cancelPreparation()
{
    if (!m_preparation)
        return;
    m_preparation->disconnect(this);
    m_preparation.release()->deleteLater();
    emit preparingChanged(false);
}

void AppController::OnExcludeDevice(int row)
{
    if (row < 0)
        return;
    m_roster->excludeRow(row);
}

void AppController::OnExcludeDevices(const std::vector<int>& rows)
{
    for (int row : rows)
        OnExcludeDevice(row);
}

void AppController::OnIncludeDevices(const std::vector<int>& rows)
{
    for (int row : rows)
        m_roster->includeRow(row);
}

void AppController::includeExcludedDevice(int index)
{
    m_roster->includeExcluded(index);
}

QString AppController::deviceName(const QString& uid) const
{
    for (const DeviceRowPtr& row : m_roster->rows())
        if (row->uid == uid)
            return row->name;
    return {};
}

void AppController::showRunSummary()
{
    int excluded = 0;
    for (const DeviceRowPtr& row : m_roster->rows())
        excluded += row->status == DeviceStatusExcluded;
    const RunSummary summary = m_summarizer.summarize(
        m_runner->transferProgresses(), [this](const QString& uid) { return deviceName(uid); }, excluded);
    if (summary.isEmpty())
        return;
    notifyRunEnded(summary);
    if (m_alerts.summaryOffersReport(summary.headline(), summary.problems))
        saveReport();
}

void AppController::notifyRunEnded(const RunSummary& summary)
{
    // Someone at the window sees the message; someone away from it is told on the desktop.
    if (!m_notifier || (m_window && m_window->isActiveWindow()))
        return;
    const int failed = summary.failed + summary.incomplete;
    m_notifier->notify(QStringLiteral("The run has ended"),
        QStringLiteral("%1 finished, %2 failed.").arg(summary.finished).arg(failed));
}

QStringList AppController::recentDocuments() const
{
    QStringList recent = m_defaults.objectForKey(kRecentDocumentsKey).toStringList();
    recent.removeIf([](const QString& path) { return !QFileInfo::exists(path); });
    return recent;
}

void AppController::noteRecentDocument(const QString& path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    QStringList recent = recentDocuments();
    recent.removeAll(absolute);
    recent.prepend(absolute);
    while (recent.size() > kMaxRecentDocuments)
        recent.removeLast();
    m_defaults.setObject(kRecentDocumentsKey, recent);
    m_defaults.synchronize();
    emit recentDocumentsChanged();
}

}  // namespace kestrap::app
