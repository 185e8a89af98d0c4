// The application with 64 simulated devices transferring at once (concurrency 64, no pause):
// how long a posted event waits before it runs while the job works, against the same probe
// on an idle event loop; how many change signals the table models emit against the changes
// the job announced; the start-up time to a shown main window with 64 devices attached; and
// how long a posted event waits while Start prepares a job of 100,000 files and while Browse
// Device lists a folder of 10,000 items. Then the same run with the cart's tiles on screen
// instead of the tables: the longest wait of a posted event, and how many tiles the delegate
// painted against how many of them had changed since their last paint.

#include "app/AlertController.h"
#include "app/AppController.h"
#include "app/CartView.h"
#include "app/DeviceBrowserWindow.h"
#include "app/DeviceTableModel.h"
#include "app/KestrapAppDelegate.h"
#include "app/MainWindow.h"
#include "app/TransferTableModel.h"
#include "device/ios/sim/SimMobileDeviceService.h"
#include "job/DeviceRoster.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "settings/UserDefaults.h"
#include "support/ScriptedAlerts.h"
#include "support/TestFarm.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHash>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimer>
#include <QTreeView>
#include <cstdio>
#include <fcntl.h>
#include <set>
#include <unistd.h>

using namespace kestrap;

namespace {

constexpr int kDevices = 64;

// Posts an event every 2 ms and keeps the longest time one waited before it ran.
class LatencyProbe : public QObject {
public:
    void start()
    {
        m_running = true;
        m_clock.start();
        post();
    }
    double maxAtMs() const { return m_maxAt; }
    void stop() { m_running = false; }
    double maxWaitMs() const { return m_max; }
    int samples() const { return m_samples; }

private:
    void post()
    {
        if (!m_running)
            return;
        QElapsedTimer posted;
        posted.start();
        QMetaObject::invokeMethod(
            this,
            [this, posted] {
                const double wait = double(posted.nsecsElapsed()) / 1e6;
                if (wait > m_max) {
                    m_max = wait;
                    m_maxAt = double(m_clock.nsecsElapsed()) / 1e6;
                }
                ++m_samples;
                QTimer::singleShot(2, this, [this] { post(); });
            },
            Qt::QueuedConnection);
    }
    bool m_running = false;
    double m_max = 0;
    double m_maxAt = 0;
    int m_samples = 0;
    QElapsedTimer m_clock;
};

double idleMaxWaitMs(int ms)
{
    LatencyProbe probe;
    probe.start();
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    probe.stop();
    return probe.maxWaitMs();
}

// Counts each tile's paints, and those of tiles that had not changed since their last one.
class CountingTiles : public app::CartTileDelegate {
public:
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QString name = index.siblingAtColumn(app::DeviceTableModel::Name).data().toString();
        ++paints;
        if (!dirty.value(name, true))
            ++unchangedPaints;
        dirty[name] = false;
        app::CartTileDelegate::paint(painter, option, index);
    }
    mutable QHash<QString, bool> dirty;
    mutable int paints = 0, unchangedPaints = 0;
};

bool benchCart(app::KestrapAppDelegate& delegate, PortJob& job, double idleMs)
{
    app::MainWindow& window = delegate.window();
    window.resize(1920, 1080);
    window.showCart(true);
    auto* tiles = new CountingTiles;
    tiles->setParent(window.cartView());
    window.cartView()->setItemDelegate(tiles);
    QAbstractItemModel* cart = window.cartView()->model();
    int changes = 0;
    QObject::connect(cart, &QAbstractItemModel::dataChanged, [&](const QModelIndex& a, const QModelIndex& b) {
        for (int row = a.row(); row <= b.row(); ++row) {
            tiles->dirty[cart->index(row, app::DeviceTableModel::Name).data().toString()] = true;
            ++changes;
        }
    });
    QCoreApplication::processEvents();
    // Only what the run repaints counts: the first showing of every tile is not a change.
    for (int row = 0; row < cart->rowCount(); ++row)
        tiles->dirty[cart->index(row, app::DeviceTableModel::Name).data().toString()] = false;
    tiles->paints = tiles->unchangedPaints = 0;
    job.setConcurrencyOverride(kDevices);
    delegate.controller().OnStart();
    LatencyProbe probe;
    probe.start();
    const bool done = TestFarm::waitFor([&] { return job.doneDevices().size() == std::size_t(kDevices); }, 120000);
    QCoreApplication::processEvents();
    probe.stop();
    job.stop();
    std::printf("cart of %d tiles during a run: longest wait of a posted event %.1f ms (%d samples); %.1f ms idle; "
                "ratio %.1fx; target under 20 ms %s\n",
        kDevices, probe.maxWaitMs(), probe.samples(), idleMs, probe.maxWaitMs() / std::max(idleMs, 0.01),
        probe.maxWaitMs() < 20 ? "OK" : "MISSED");
    std::printf("cart repaints: %d tile paints for %d tile changes; paints of tiles that had not changed: %d "
                "(ratio %.2f) %s\n",
        tiles->paints, changes, tiles->unchangedPaints, double(tiles->paints) / std::max(changes, 1),
        done && tiles->unchangedPaints == 0 ? "OK" : "MISSED");
    return done;
}

}  // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QTemporaryDir home;
    qputenv("KESTRAP_SETTINGS", home.filePath(QStringLiteral("settings.ini")).toLocal8Bit());
    qputenv("KESTRAP_LOG_DIR", home.filePath(QStringLiteral("logs")).toLocal8Bit());
    QApplication app(argc, argv);

    TestFarm farm;
    for (int i = 0; i < kDevices; ++i)
        farm.addPhone({{QStringLiteral("com.example.reader"), QStringLiteral("Reader")}});
    // 20 files of 256 KiB to every device.
    QStringList files;
    for (int i = 0; i < 20; ++i) {
        const QString path = home.filePath(QStringLiteral("f%1.bin").arg(i));
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(QByteArray(256 * 1024, char('a' + i)));
        files << path;
    }

    SettingsUserDefaults defaults(home.filePath(QStringLiteral("d.ini")));
    ScriptedAlerts script;
    ScriptedPanels panels;
    app::AlertController alerts(script, defaults);

    QElapsedTimer startup;
    startup.start();
    app::KestrapAppDelegate delegate(alerts, panels, defaults);
    if (!qEnvironmentVariableIsSet("BENCH_HIDDEN"))
        delegate.window().show();
    delegate.startDevices(farm.service(), {});
    const bool attached
        = TestFarm::waitFor([&] { return int(delegate.controller().roster().rows().size()) == kDevices; }, 30000);
    QCoreApplication::processEvents();
    const double startupMs = double(startup.nsecsElapsed()) / 1e6;
    std::printf("start-up to a shown main window with %d devices attached: %.0f ms (target under 1000 ms) %s\n",
        kDevices, startupMs, attached && startupMs < 1000 ? "OK" : "MISSED");

    const double idleMs = idleMaxWaitMs(1500);

    JobDocument& document = *delegate.controller().currentDocument();
    PortJob& job = *delegate.controller().runner();
    document.addFilePaths(files);
    document.setAppId(QStringLiteral("com.example.reader"));
    document.setFolder(QStringLiteral("Documents"));
    job.setConcurrencyOverride(kDevices);
    job.setProgressPauseOverride(0);

    int progressSignals = 0, progressAdded = 0, statusSignals = 0, transferEmits = 0, deviceEmits = 0, wideEmits = 0;
    QObject::connect(&job, &PortJob::transferProgressChanged, [&](int) { ++progressSignals; });
    QObject::connect(&job, &PortJob::transferProgressAdded, [&](int) { ++progressAdded; });
    QObject::connect(&delegate.controller().roster(), &DeviceRoster::rowChanged, [&](int) { ++statusSignals; });
    QObject::connect(delegate.window().transferModel(), &QAbstractItemModel::dataChanged,
        [&](const QModelIndex& a, const QModelIndex& b) {
            ++transferEmits;
            wideEmits += a.row() != b.row();
        });
    QObject::connect(delegate.window().deviceModel(), &QAbstractItemModel::dataChanged,
        [&](const QModelIndex& a, const QModelIndex& b) {
            ++deviceEmits;
            wideEmits += a.row() != b.row();
        });

    QElapsedTimer run;
    run.start();
    delegate.controller().OnStart();
    const double startMs = double(run.nsecsElapsed()) / 1e6;
    // The probe runs from the moment the job works: Start itself is one command.
    LatencyProbe probe;
    probe.start();
    const bool done = TestFarm::waitFor(
        [&] {
            if (job.doneDevices().size() != std::size_t(kDevices))
                return false;
            return true;
        },
        120000);
    const double runMs = double(run.nsecsElapsed()) / 1e6;
    probe.stop();
    job.stop();

    std::printf("%d devices, concurrency %d, no pause: Start took %.0f ms; job %s in %.0f ms\n", kDevices, kDevices,
        startMs, done ? "finished" : "DID NOT FINISH", runMs);
    std::printf("longest wait of a posted event: %.1f ms while working (at %.0f ms; %d samples); %.1f ms idle; ratio "
                "%.1fx; target under 50 ms %s\n",
        probe.maxWaitMs(), probe.maxAtMs(), probe.samples(), idleMs, probe.maxWaitMs() / std::max(idleMs, 0.01),
        probe.maxWaitMs() < 50 ? "OK" : "MISSED");
    // The device table also repaints a device's status cell at each of its progress reports.
    std::printf("model changes: transfer table %d for %d progress signals, device table %d for %d row changes and "
                "%d progress records made or changed; changes wider than one row: %d %s\n",
        transferEmits, progressSignals, deviceEmits, statusSignals, progressSignals + progressAdded, wideEmits,
        transferEmits == progressSignals && deviceEmits == statusSignals + progressSignals + progressAdded
                && wideEmits == 0
            ? "OK"
            : "MISSED");
    // The devices lose what the first run gave them, so the cart's run sends every file again.
    for (const DeviceRowPtr& row : delegate.controller().roster().rows())
        QDir(farm.container(row->uid, QStringLiteral("com.example.reader")) + QStringLiteral("/Documents"))
            .removeRecursively();
    const bool cartOk = benchCart(delegate, job, idleMs);

    // Start on a job of 100,000 files in 100 folders: the walk and the measuring happen off the
    // window's thread. No device is served (concurrency 0): only the start is timed.
    const QString tree = home.filePath(QStringLiteral("tree"));
    for (int d = 0; d < 100; ++d) {
        const QByteArray folder = QFile::encodeName(tree + QStringLiteral("/d%1").arg(d));
        QDir().mkpath(QFile::decodeName(folder));
        for (int f = 0; f < 1000; ++f)
            ::close(::open((folder + "/f" + QByteArray::number(f)).constData(), O_CREAT | O_WRONLY, 0644));
    }
    document.setFilePaths({});
    document.addFilePaths({tree});
    job.setConcurrencyOverride(0);
    QElapsedTimer prepare;
    prepare.start();
    LatencyProbe startProbe;
    startProbe.start();
    delegate.controller().OnStart();
    const bool started = TestFarm::waitFor([&] { return job.isWorking(); }, 120000);
    const double prepareMs = double(prepare.nsecsElapsed()) / 1e6;
    startProbe.stop();
    const std::size_t sent = job.singleFiles().size();
    job.stop();
    std::printf("Start on %zu files: working after %.0f ms; longest wait of a posted event %.1f ms (%d samples); "
                "target under 50 ms %s\n",
        sent, prepareMs, startProbe.maxWaitMs(), startProbe.samples(),
        started && sent == 100000 && startProbe.maxWaitMs() < 50 ? "OK" : "MISSED");

    // Browse Device on a folder of 10,000 items: listed, measured and dated on the browser's
    // worker; the window only inserts and paints the rows.
    const DeviceRowPtr browsed = delegate.controller().roster().rows().front();
    const QByteArray big = QFile::encodeName(farm.path() + QStringLiteral("/%1/Media/big").arg(browsed->uid));
    QDir().mkpath(QFile::decodeName(big));
    for (int f = 0; f < 10000; ++f)
        ::close(::open((big + "/IMG_" + QByteArray::number(f) + ".JPG").constData(), O_CREAT | O_WRONLY, 0644));
    delegate.window().selectDevice(0);
    delegate.OnBrowseDevice();
    auto* browser = delegate.window().findChild<app::DeviceBrowserWindow*>();
    app::DeviceTreeModel& model = *browser->model();
    const QModelIndex media = model.index(0, 0);
    model.fetchMore(media);
    TestFarm::waitFor([&] { return model.rowCount(media) > 0; }, 30000);
    QModelIndex bigFolder;
    for (int row = 0; row < model.rowCount(media); ++row)
        if (model.index(row, 0, media).data().toString() == QStringLiteral("big"))
            bigFolder = model.index(row, 0, media);
    browser->findChild<QTreeView*>()->expand(bigFolder);
    QElapsedTimer browse;
    browse.start();
    LatencyProbe browseProbe;
    browseProbe.start();
    model.fetchMore(bigFolder);
    const bool listed = TestFarm::waitFor([&] { return model.rowCount(bigFolder) == 10000; }, 120000);
    QCoreApplication::processEvents();
    const double browseMs = double(browse.nsecsElapsed()) / 1e6;
    browseProbe.stop();
    std::printf("Browse Device on a folder of 10000 items: listed after %.0f ms; longest wait of a posted event "
                "%.1f ms (%d samples); target under 50 ms %s\n",
        browseMs, browseProbe.maxWaitMs(), browseProbe.samples(),
        listed && browseProbe.maxWaitMs() < 50 ? "OK" : "MISSED");
    return done && started && listed && cartOk ? 0 : 1;
}
