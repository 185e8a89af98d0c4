#include "app/ScreenshotTour.h"

#include "app/AppController.h"
#include "app/DeviceBrowserWindow.h"
#include "app/EventLogWindow.h"
#include "app/ExcludedDevicesWindow.h"
#include "app/FilesConfigWindow.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "app/PreferencesWindow.h"
#include "job/DeviceRoster.h"
#include "job/PortJob.h"
#include "settings/Settings.h"

#include <QApplication>
#include <QDialog>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QTableView>
#include <QTimer>
#include <QTreeView>

namespace kestrap::app {

namespace {

int rowOfDevice(AppController& controller, const QString& name)
{
    const auto& rows = controller.roster().rows();
    for (std::size_t i = 0; i < rows.size(); ++i)
        if (rows[i]->name == name)
            return int(i);
    return -1;
}

// Runs the event loop until signal comes, for a few seconds at most.
template <typename Sender, typename Signal> void waitFor(Sender* sender, Signal signal)
{
    QEventLoop loop;
    QObject::connect(sender, signal, &loop, &QEventLoop::quit);
    QTimer::singleShot(5000, &loop, &QEventLoop::quit);
    loop.exec();
}

// The child of parent named name, once opening the folder in the tree has loaded it.
QModelIndex openChild(QTreeView& tree, const QModelIndex& parent, const QString& name)
{
    QAbstractItemModel& model = *tree.model();
    if (model.canFetchMore(parent)) {
        model.fetchMore(parent);
        waitFor(&model, &QAbstractItemModel::rowsInserted);
    }
    tree.expand(parent);
    for (int row = 0; row < model.rowCount(parent); ++row) {
        const QModelIndex child = model.index(row, 0, parent);
        if (name.isEmpty() || child.data().toString() == name)
            return child;
    }
    return {};
}

}  // namespace

ScreenshotTour::ScreenshotTour(KestrapAppDelegate& delegate, Plan plan, QObject* parent)
    : QObject(parent), m_delegate(delegate), m_plan(std::move(plan))
{
}

void ScreenshotTour::start()
{
    QCoreApplication::processEvents();
    AppController& controller = m_delegate.controller();
    const int excluded = rowOfDevice(controller, m_plan.excludedDevice);
    if (excluded >= 0)
        controller.OnExcludeDevice(excluded);
    QTimer::singleShot(m_plan.delayMs, this, &ScreenshotTour::takeWindows);
    // The demo farm has a device without the app, on purpose: Start's question about it is
    // answered "Continue", so the pictures show that device failing.
    QTimer::singleShot(300, this, [] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); box && box->defaultButton())
            box->defaultButton()->click();
    });
    // Last: Start may ask a question, and the timers above must be running while it waits.
    controller.OnStart();
}

void ScreenshotTour::save(QWidget* window, const QString& suffix) const
{
    QCoreApplication::processEvents();
    window->grab().save(m_plan.mainPicture.chopped(4) + suffix + QStringLiteral(".png"));
}

void ScreenshotTour::takeWindows()
{
    save(&m_delegate.window(), {});
    m_delegate.OnConfig();
    save(m_delegate.filesConfigWindow(), QStringLiteral("-filesettings"));
    m_delegate.filesConfigWindow()->close();
    m_delegate.OnShowExcludedDevice();
    m_delegate.excludedDevicesWindow()->table()->selectRow(0);
    save(m_delegate.excludedDevicesWindow(), QStringLiteral("-excluded"));
    m_delegate.excludedDevicesWindow()->close();
    m_delegate.OnEventLog();
    save(m_delegate.eventLogWindow(), QStringLiteral("-eventlog"));
    m_delegate.eventLogWindow()->close();
    {
        PreferencesWindow prefs(Settings::settings());
        prefs.show();
        save(&prefs, QStringLiteral("-preferences"));
    }
    PortJob* job = m_delegate.controller().runner();
    connect(job, &PortJob::stopped, this, &ScreenshotTour::takeSummary, Qt::QueuedConnection);
    job->stop();
}

void ScreenshotTour::takeSummary()
{
    // The summary waits for its answer in a nested loop: it is saved and answered from there.
    QTimer::singleShot(300, this, [this] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            save(box, QStringLiteral("-summary"));
            box->accept();
        }
    });
    m_delegate.controller().showRunSummary();
    takeBrowser();
}

void ScreenshotTour::takeBrowser()
{
    AppController& controller = m_delegate.controller();
    const int row = rowOfDevice(controller, m_plan.browsedDevice);
    if (row >= 0) {
        m_delegate.window().selectDevice(row);
        m_delegate.OnBrowseDevice();
    }
    if (auto* browser = m_delegate.window().findChild<DeviceBrowserWindow*>()) {
        auto* tree = browser->findChild<QTreeView*>();
        QCoreApplication::processEvents();
        QModelIndex media = tree->model()->index(0, 0);
        const QModelIndex image
            = openChild(*tree, openChild(*tree, openChild(*tree, media, QStringLiteral("DCIM")), {}), {});
        tree->setCurrentIndex(image);
        waitFor(browser, &DeviceBrowserWindow::previewShown);
        save(browser, QStringLiteral("-browser"));
    }
    // Ended without closing the window, which would ask to save the tour's own changes.
    QCoreApplication::exit(0);
}

}  // namespace kestrap::app
