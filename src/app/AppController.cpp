#include "app/AppController.h"

#include "app/AlertController.h"
#include "app/FilePanels.h"
#include "device/DeviceManager.h"
#include "device/ios/MobileDeviceService.h"
#include "job/DeviceRoster.h"
#include "job/PortJob.h"
#include "settings/UserDefaults.h"
#include "util/Helpers.h"

#include <QFileInfo>

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
{
    replaceJob();
}

AppController::~AppController()
{
    // The manager calls the roster; it goes first.
    m_manager->setDelegate(nullptr);
    if (m_job && m_job->isWorking())
        m_job->stop();
    m_roster->setJob(nullptr);
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

void AppController::replaceJob()
{
    emit jobAboutToBeReplaced();
    auto job = std::make_shared<PortJob>();
    m_roster->setJob(job.get());
    if (m_job)
        disconnect(m_job.get(), nullptr, this, nullptr);
    m_job = std::move(job);
    // Any edit of what a job file stores marks the window as changed.
    connect(m_job.get(), &PortJob::settingChanged, this, [this](JobSetting which) {
        if (which != JobSetting::SavedFilePath)
            setModified(true);
    });
    connect(m_job.get(), &PortJob::filePathsChanged, this, [this] { setModified(true); });
    connect(m_job.get(), &PortJob::excludedDevicesChanged, this, [this] { setModified(true); });
    setModified(false);
    emit jobReplaced();
}

void AppController::setModified(bool modified)
{
    if (m_modified == modified)
        return;
    m_modified = modified;
    emit modifiedChanged(modified);
}

void AppController::showLastError()
{
    m_alerts.MsgBox(m_job->lastError().description, m_window);
}

bool AppController::stopTransfer()
{
    if (!m_job->isWorking())
        return true;
    m_job->pause();
    const bool stop = m_alerts.confirmWithMessage(
        QStringLiteral("An instance is running, would you like to stop it and continue?"), m_window);
    m_job->resume();
    if (!stop)
        return false;
    m_job->stop();
    return true;
}

void AppController::OnNew()
{
    if (!stopTransfer())
        return;
    replaceJob();
}

// Reads into the current (fresh) job, asking about a checksum that does not match.
bool AppController::readJobFile(const QString& path)
{
    if (m_job->readFromFile(path, false))
        return true;
    if (m_job->lastError().code == -100) {
        if (!m_alerts.confirmWithMessage(m_job->lastError().description, nullptr))
            return false;
        if (m_job->readFromFile(path, true))
            return true;
    }
    showLastError();
    return false;
}

void AppController::OnLoad()
{
    if (!stopTransfer())
        return;
    const QString path = m_panels.openJobFile(m_window);
    if (path.isEmpty())
        return;
    replaceJob();
    if (!readJobFile(path))
        return;
    setModified(false);
    noteRecentDocument(path);
}

bool AppController::openJobFile(const QString& path)
{
    if (!stopTransfer())
        return true;
    replaceJob();
    if (!readJobFile(path))
        return false;
    setModified(false);
    return true;
}

void AppController::OnSave()
{
    if (IsEmpty(m_job->savedFilePath())) {
        OnSaveAs();
        return;
    }
    if (!m_job->writeToFile(m_job->savedFilePath())) {
        showLastError();
        return;
    }
    setModified(false);
}

void AppController::OnSaveAs()
{
    const QString path = m_panels.saveJobFile(m_window);
    if (path.isEmpty())
        return;
    if (!m_job->writeToFile(path)) {
        showLastError();
        return;
    }
    setModified(false);
    noteRecentDocument(path);
}

void AppController::OnChooseFile()
{
    const QStringList paths = m_panels.chooseFiles(m_window);
    if (!paths.isEmpty())
        addFiles(paths);
}

int AppController::addFiles(const QStringList& paths)
{
    return m_job->addFilePaths(paths);
}

void AppController::OnRemove(std::vector<int> rows)
{
    if (rows.empty())
        return;
    m_job->removeFilePathsAt(std::move(rows));
}

void AppController::OnStart()
{
    if (m_job->isWorking()) {
        m_job->stop();
        return;
    }
    switch (m_job->startCheck()) {
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
    m_roster->queueAll();
    if (!m_job->start())
        showLastError();
}

void AppController::OnExcludeDevice(int row)
{
    if (row < 0)
        return;
    m_roster->excludeRow(row);
}

void AppController::includeExcludedDevice(int index)
{
    m_roster->includeExcluded(index);
}

QStringList AppController::recentDocuments() const
{
    return m_defaults.objectForKey(kRecentDocumentsKey).toStringList();
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
