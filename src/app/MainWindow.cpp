#include "app/MainWindow.h"

#include "app/AppCatalog.h"
#include "app/AppChoiceModel.h"
#include "app/AppController.h"
#include "app/CartView.h"
#include "app/DeviceSortModel.h"
#include "app/DeviceTableModel.h"
#include "app/FileTableModel.h"
#include "app/ProgressBarDelegate.h"
#include "app/TransferTableModel.h"
#include "job/DeviceRoster.h"
#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "settings/UserDefaults.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPushButton>
#include <QSortFilterProxyModel>
#include <QSplitter>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>
#include <algorithm>

namespace kestrap::app {

namespace {

QTableView* makeTable(QWidget* parent, int rowHeight)
{
    auto* t = new QTableView(parent);
    t->setSelectionBehavior(QAbstractItemView::SelectRows);
    t->setEditTriggers(QAbstractItemView::NoEditTriggers);
    t->setShowGrid(false);
    t->setAlternatingRowColors(true);
    t->setWordWrap(false);
    t->setTextElideMode(Qt::ElideMiddle);
    t->verticalHeader()->hide();
    t->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    t->verticalHeader()->setDefaultSectionSize(rowHeight);
    t->horizontalHeader()->setHighlightSections(false);
    t->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    return t;
}

bool isJobFile(const QString& path)
{
    return path.endsWith(QStringLiteral(".jcf"), Qt::CaseInsensitive) && QFileInfo(path).isFile();
}

}  // namespace

MainWindow::MainWindow(AppController& controller, QWidget* parent)
    : QMainWindow(parent)
    , m_controller(controller)
    , m_deviceModel(new DeviceTableModel(controller.roster(), this))
    , m_sortedDevices(new DeviceSortModel(this))
    , m_cartOrder(new DeviceSortModel(this))
    , m_appChoices(new AppChoiceModel(controller.appCatalog(), this))
    , m_fileModel(new FileTableModel(this))
    , m_transferModel(new TransferTableModel(this))
{
    m_sortedDevices->setSourceModel(m_deviceModel);
    // The cart stands in the order of its hubs whatever the list is sorted by.
    m_cartOrder->setSourceModel(m_deviceModel);
    m_cartOrder->sort(DeviceTableModel::HubPlace);
    m_transferModel->setDeviceNames([&controller](const QString& uid) { return controller.deviceName(uid); });
    setWindowIcon(QIcon(QStringLiteral(":/images/kestrap-128.png")));
    setAcceptDrops(true);

    auto* top = m_top = new QSplitter(Qt::Horizontal, this);
    top->addWidget(makeDevicePane());
    top->addWidget(makeJobPane());
    top->setStretchFactor(0, 5);
    top->setStretchFactor(1, 4);
    auto* vertical = m_vertical = new QSplitter(Qt::Vertical, this);
    vertical->addWidget(top);
    vertical->addWidget(makeTransferPane());
    vertical->setStretchFactor(0, 3);
    vertical->setStretchFactor(1, 2);

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);
    m_pages = new QStackedWidget(central);
    m_pages->addWidget(vertical);
    m_cart = new CartView(m_pages);
    m_cart->setModel(m_cartOrder);
    m_pages->addWidget(m_cart);
    layout->addWidget(m_pages, 1);
    auto* bottom = new QHBoxLayout;
    m_status = new QLabel(central);
    QFont bold = m_status->font();
    bold.setBold(true);
    m_status->setFont(bold);
    m_start = new QPushButton(central);
    m_start->setMinimumWidth(110);
    m_start->setDefault(true);
    bottom->addWidget(m_status, 1);
    bottom->addWidget(m_start);
    layout->addLayout(bottom);
    setCentralWidget(central);

    m_notice = new QLabel(this);
    statusBar()->addWidget(m_notice, 1);
    makeMenus();

    connect(m_start, &QPushButton::clicked, &m_controller, &AppController::OnStart);
    connect(&m_controller, &AppController::documentReplaced, this, &MainWindow::rebindJob);
    connect(&m_controller, &AppController::stoppingChanged, this, &MainWindow::updateWorking);
    connect(&m_controller, &AppController::preparingChanged, this, &MainWindow::updateWorking);
    connect(&m_controller, &AppController::focusRequested, this, [this](AppController::Field f) {
        (f == AppController::Field::AppId ? appIdField() : m_folder)->setFocus(Qt::OtherFocusReason);
    });
    connect(appIdField(), &QLineEdit::textEdited, this,
        [this](const QString& s) { m_controller.currentDocument()->setAppId(s); });
    connect(m_appId, &QComboBox::activated, this, [this](int row) {
        if (m_controller.runner()->isWorking())
            return refillAppChoices();
        m_controller.currentDocument()->setAppId(m_appChoices->index(row).data(Qt::EditRole).toString());
    });
    // The list is made anew as devices come and go; the field keeps the job's id.
    connect(m_appChoices, &QAbstractItemModel::modelReset, this, &MainWindow::refillAppChoices);
    connect(m_folder, &QLineEdit::textEdited, this,
        [this](const QString& s) { m_controller.currentDocument()->setFolder(s); });
    m_controller.setWindow(this);
    rebindJob();
    resize(1180, 740);
}

QWidget* MainWindow::makeDevicePane()
{
    auto* box = new QGroupBox(QStringLiteral("Devices"), this);
    auto* layout = new QVBoxLayout(box);
    m_devices = makeTable(box, 30);
    m_devices->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_devices->setIconSize(QSize(24, 24));
    m_devices->setModel(m_sortedDevices);
    m_devices->setTextElideMode(Qt::ElideRight);
    m_devices->setColumnWidth(DeviceTableModel::Name, 170);
    m_devices->setColumnWidth(DeviceTableModel::Uid, 150);
    // Wide enough for what a device that is not ready needs.
    m_devices->setColumnWidth(DeviceTableModel::Status, 330);
    m_devices->horizontalHeader()->setStretchLastSection(true);
    m_devices->setSortingEnabled(true);
    m_devices->sortByColumn(DeviceTableModel::HubPlace, Qt::AscendingOrder);
    // The identifier says little beside the serial number; shown when asked for.
    m_devices->setColumnHidden(DeviceTableModel::Uid, true);
    installColumnMenu(m_devices->horizontalHeader(), [this] { emit layoutChoiceChanged(); });
    connect(m_devices->horizontalHeader(), &QHeaderView::sortIndicatorChanged, this, &MainWindow::layoutChoiceChanged);
    m_devices->setContextMenuPolicy(Qt::ActionsContextMenu);
    layout->addWidget(m_devices);
    return box;
}

QWidget* MainWindow::makeJobPane()
{
    auto* box = new QGroupBox(QStringLiteral("Job"), this);
    auto* layout = new QVBoxLayout(box);
    auto* form = new QFormLayout;
    m_appId = new QComboBox(box);
    m_appId->setEditable(true);
    m_appId->setInsertPolicy(QComboBox::NoInsert);
    m_appId->setModel(m_appChoices);
    m_appId->setIconSize(QSize(20, 20));
    m_appId->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    m_appId->setMinimumContentsLength(24);
    // A typed id stays as typed: the completer would put a listed app's id in its place.
    m_appId->setCompleter(nullptr);
    appIdField()->setPlaceholderText(QStringLiteral("com.example.app"));
    m_folder = new QLineEdit(box);
    m_folder->setPlaceholderText(QStringLiteral("Documents"));
    form->addRow(QStringLiteral("App ID:"), m_appId);
    form->addRow(QStringLiteral("Folder:"), m_folder);
    layout->addLayout(form);

    m_files = makeTable(box, 24);
    m_files->setIconSize(QSize(16, 16));
    m_files->setModel(m_fileModel);
    m_files->setColumnWidth(FileTableModel::Path, 300);
    m_files->horizontalHeader()->setStretchLastSection(true);
    m_files->setContextMenuPolicy(Qt::ActionsContextMenu);
    layout->addWidget(m_files);

    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton(QIcon::fromTheme(QStringLiteral("list-add")), QStringLiteral("Add Files…"), box);
    auto* addFolder
        = new QPushButton(QIcon::fromTheme(QStringLiteral("folder-new")), QStringLiteral("Add Folder…"), box);
    auto* remove = new QPushButton(QIcon::fromTheme(QStringLiteral("list-remove")), QStringLiteral("Remove"), box);
    auto* settings = new QPushButton(QStringLiteral("File Settings…"), box);
    connect(add, &QPushButton::clicked, &m_controller, &AppController::OnChooseFile);
    connect(addFolder, &QPushButton::clicked, &m_controller, &AppController::OnChooseFolder);
    connect(remove, &QPushButton::clicked, this, &MainWindow::removeSelectedFiles);
    connect(settings, &QPushButton::clicked, this, [this] {
        if (m_commands.fileSettings)
            m_commands.fileSettings();
    });
    buttons->addWidget(add);
    buttons->addWidget(addFolder);
    buttons->addWidget(remove);
    buttons->addStretch();
    buttons->addWidget(settings);
    layout->addLayout(buttons);
    return box;
}

QWidget* MainWindow::makeTransferPane()
{
    auto* box = new QGroupBox(QStringLiteral("Transfers"), this);
    auto* layout = new QVBoxLayout(box);
    m_transfers = makeTable(box, 26);
    m_transfers->setSelectionMode(QAbstractItemView::NoSelection);
    m_transfers->setModel(m_transferModel);
    auto* bars = new ProgressBarDelegate(m_transfers);
    m_transfers->setItemDelegateForColumn(TransferTableModel::FileProgress, bars);
    m_transfers->setItemDelegateForColumn(TransferTableModel::OverallProgress, bars);
    QHeaderView* header = m_transfers->horizontalHeader();
    header->setSectionResizeMode(TransferTableModel::DeviceFile, QHeaderView::Stretch);
    m_transfers->setColumnWidth(TransferTableModel::FileProgress, 160);
    m_transfers->setColumnWidth(TransferTableModel::OverallProgress, 160);
    m_transfers->setColumnWidth(TransferTableModel::Speed, 110);
    layout->addWidget(m_transfers);
    return box;
}

void MainWindow::makeMenus()
{
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* newJob = m_newAction = file->addAction(QIcon::fromTheme(QStringLiteral("document-new")),
        QStringLiteral("&New"), QKeySequence::New, &m_controller, &AppController::OnNew);
    QAction* open = m_openAction = file->addAction(QIcon::fromTheme(QStringLiteral("document-open")),
        QStringLiteral("&Open…"), QKeySequence::Open, &m_controller, &AppController::OnLoad);
    m_recentMenu = file->addMenu(QStringLiteral("Open &Recent"));
    connect(m_recentMenu, &QMenu::aboutToShow, this, &MainWindow::fillRecentMenu);
    file->addSeparator();
    QAction* save = file->addAction(QIcon::fromTheme(QStringLiteral("document-save")), QStringLiteral("&Save"),
        QKeySequence::Save, &m_controller, &AppController::OnSave);
    file->addAction(QIcon::fromTheme(QStringLiteral("document-save-as")), QStringLiteral("Save &As…"),
        QKeySequence::SaveAs, &m_controller, &AppController::OnSaveAs);
    file->addSeparator();
    file->addAction(QIcon::fromTheme(QStringLiteral("application-exit")), QStringLiteral("&Quit"), QKeySequence::Quit,
        this, &QWidget::close);

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    edit->addAction(QIcon::fromTheme(QStringLiteral("preferences-system")), QStringLiteral("&Preferences…"),
        QKeySequence::Preferences, this, [this] {
            if (m_commands.preferences)
                m_commands.preferences();
        });

    QMenu* job = menuBar()->addMenu(QStringLiteral("&Job"));
    QAction* add = job->addAction(QIcon::fromTheme(QStringLiteral("list-add")), QStringLiteral("&Add Files…"),
        QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_A), &m_controller, &AppController::OnChooseFile);
    job->addAction(QIcon::fromTheme(QStringLiteral("folder-new")), QStringLiteral("Add &Folder…"), &m_controller,
        &AppController::OnChooseFolder);
    QAction* remove = job->addAction(QIcon::fromTheme(QStringLiteral("list-remove")), QStringLiteral("&Remove"),
        QKeySequence::Delete, this, &MainWindow::removeSelectedFiles);
    remove->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    m_files->addAction(remove);
    job->addAction(QStringLiteral("File &Settings…"), this, [this] {
        if (m_commands.fileSettings)
            m_commands.fileSettings();
    });
    job->addSeparator();
    m_startAction = job->addAction(
        QStringLiteral("Start"), QKeySequence(Qt::CTRL | Qt::Key_R), &m_controller, &AppController::OnStart);
    m_removeFromDevicesAction = job->addAction(QIcon::fromTheme(QStringLiteral("edit-delete")),
        QStringLiteral("Remove Job's Files from Devices\u2026"), &m_controller, &AppController::OnRemoveFromDevices);

    QMenu* device = menuBar()->addMenu(QStringLiteral("&Device"));
    QAction* exclude = m_excludeAction = device->addAction(
        QStringLiteral("&Exclude Device"), this, [this] { m_controller.OnExcludeDevices(selectedDevices()); });
    m_includeAction = device->addAction(
        QStringLiteral("&Include Device"), this, [this] { m_controller.OnIncludeDevices(selectedDevices()); });
    device->addAction(QStringLiteral("E&xcluded Devices…"), this, [this] {
        if (m_commands.excludedDevices)
            m_commands.excludedDevices();
    });
    device->addSeparator();
    QAction* browse = m_browseAction = device->addAction(
        QIcon::fromTheme(QStringLiteral("folder-open")), QStringLiteral("&Browse Device…"), this, [this] {
            if (m_commands.browseDevice)
                m_commands.browseDevice();
        });
    m_devices->addAction(exclude);
    m_devices->addAction(m_includeAction);
    m_devices->addAction(browse);
    connect(m_devices, &QTableView::doubleClicked, browse, &QAction::trigger);
    m_cart->setContextMenuPolicy(Qt::ActionsContextMenu);
    m_cart->addActions({exclude, m_includeAction, browse});
    connect(m_cart, &QListView::doubleClicked, browse, &QAction::trigger);
    connect(m_cart->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MainWindow::updateDeviceActions);
    // Both act on the selected device: with none they have nothing to act on.
    connect(
        m_devices->selectionModel(), &QItemSelectionModel::selectionChanged, this, &MainWindow::updateDeviceActions);
    connect(m_deviceModel, &QAbstractItemModel::rowsRemoved, this, &MainWindow::updateDeviceActions);
    connect(m_deviceModel, &QAbstractItemModel::dataChanged, this, &MainWindow::updateDeviceActions);
    updateDeviceActions();

    QMenu* view = menuBar()->addMenu(QStringLiteral("&View"));
    m_cartAction = view->addAction(QStringLiteral("&Cart"));
    m_cartAction->setCheckable(true);
    m_cartAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_T));
    connect(m_cartAction, &QAction::toggled, this, [this](bool on) {
        showCart(on);
        emit layoutChoiceChanged();
    });

    QMenu* window = menuBar()->addMenu(QStringLiteral("&Window"));
    window->addAction(QStringLiteral("&Event Log"), QKeySequence(Qt::CTRL | Qt::Key_L), this, [this] {
        if (m_commands.eventLog)
            m_commands.eventLog();
    });
    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(QIcon::fromTheme(QStringLiteral("help-contents")), QStringLiteral("Kestrap &Help"),
        QKeySequence::HelpContents, this, [this] {
            if (m_commands.help)
                m_commands.help();
        });

    QToolBar* bar = addToolBar(QStringLiteral("Main"));
    bar->setObjectName(QStringLiteral("mainToolBar"));
    bar->setMovable(false);
    bar->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    bar->addAction(newJob);
    bar->addAction(open);
    bar->addAction(save);
    bar->addSeparator();
    bar->addAction(add);
    bar->addAction(remove);
    bar->addSeparator();
    bar->addAction(exclude);
    bar->addAction(browse);
    bar->addSeparator();
    bar->addAction(m_cartAction);
}

void MainWindow::setAppCommands(AppCommands commands)
{
    m_commands = std::move(commands);
}

namespace {

const QString kLayoutKey = QStringLiteral("mainWindowLayout");

}  // namespace

void MainWindow::saveLayout(UserDefaults& defaults) const
{
    defaults.setObject(kLayoutKey,
        QVariantMap {{QStringLiteral("geometry"), saveGeometry()}, {QStringLiteral("top"), m_top->saveState()},
            {QStringLiteral("vertical"), m_vertical->saveState()},
            {QStringLiteral("deviceColumns"), m_devices->horizontalHeader()->saveState()},
            {QStringLiteral("files"), m_files->horizontalHeader()->saveState()},
            {QStringLiteral("transfers"), m_transfers->horizontalHeader()->saveState()},
            {QStringLiteral("cart"), m_cartAction->isChecked()}});
    defaults.synchronize();
}

void MainWindow::restoreLayout(const UserDefaults& defaults)
{
    const QVariantMap layout = defaults.objectForKey(kLayoutKey).toMap();
    const auto state = [&](const char* key) { return layout.value(QLatin1String(key)).toByteArray(); };
    // Each part is restored on its own: a state that does not fit leaves that part as it is.
    if (!state("geometry").isEmpty())
        restoreGeometry(state("geometry"));
    m_top->restoreState(state("top"));
    m_vertical->restoreState(state("vertical"));
    // Under a key of its own since the list has details: a state saved with four columns would
    // show the identifier again and sort by name.
    m_devices->horizontalHeader()->restoreState(state("deviceColumns"));
    m_files->horizontalHeader()->restoreState(state("files"));
    m_transfers->horizontalHeader()->restoreState(state("transfers"));
    m_cartAction->setChecked(layout.value(QStringLiteral("cart")).toBool());
}

void MainWindow::setNotice(const QString& text)
{
    m_notice->setText(text);
}

void MainWindow::rebindJob()
{
    JobDocument* document = m_controller.currentDocument();
    PortJob* runner = m_controller.runner();
    for (const auto& c : m_jobConnections)
        disconnect(c);
    m_jobConnections.clear();
    m_fileModel->setDocument(document);
    m_transferModel->setJob(runner);
    m_deviceModel->setRunner(runner);
    refillAppChoices();
    m_folder->setText(document->folder());
    m_jobConnections.push_back(
        connect(document, &JobDocument::settingChanged, this, [this, document](JobSetting which) {
            // Only values that differ are written back: rewriting the field being typed in
            // would move its cursor.
            if (which == JobSetting::AppId && m_appId->currentText() != document->appId())
                refillAppChoices();
            if (which == JobSetting::Folder && m_folder->text() != document->folder())
                m_folder->setText(document->folder());
            if (which == JobSetting::SavedFilePath)
                updateTitle();
        }));
    m_jobConnections.push_back(connect(document, &JobDocument::modifiedChanged, this, &MainWindow::updateTitle));
    m_jobConnections.push_back(connect(runner, &PortJob::statusMessageChanged, m_status, &QLabel::setText));
    m_jobConnections.push_back(connect(runner, &PortJob::workingChanged, this, &MainWindow::updateWorking));
    m_status->setText(runner->statusMessage());
    updateWorking();
    updateTitle();
}

void MainWindow::updateWorking()
{
    // While a stop is under way nothing may replace or start the job.
    const bool stopping = m_controller.isStopping();
    QString title = m_controller.runner()->actionButtonTitle();
    if (stopping)
        title = QStringLiteral("Stopping\u2026");
    else if (m_controller.isPreparing())
        title = QStringLiteral("Preparing\u2026");
    m_start->setText(title);
    m_startAction->setText(title);
    m_start->setEnabled(!stopping);
    for (QAction* a : {m_startAction, m_newAction, m_openAction, m_recentMenu->menuAction()})
        a->setEnabled(!stopping);
    const bool working = m_controller.runner()->isWorking();
    m_removeFromDevicesAction->setEnabled(!stopping && !working && !m_controller.isPreparing());
    m_start->setIcon(
        QIcon::fromTheme(working ? QStringLiteral("media-playback-stop") : QStringLiteral("media-playback-start")));
    appIdField()->setReadOnly(working);
    m_folder->setReadOnly(working);
}

void MainWindow::updateTitle()
{
    const JobDocument* document = m_controller.currentDocument();
    const QString saved = document->savedFilePath();
    const QString name = saved.isEmpty() ? QStringLiteral("Untitled") : QFileInfo(saved).fileName();
    setWindowTitle(name + QStringLiteral("[*] — Kestrap"));
    setWindowModified(document->isModified());
}

void MainWindow::fillRecentMenu()
{
    m_recentMenu->clear();
    const QStringList recent = m_controller.recentDocuments();
    for (const QString& path : recent)
        m_recentMenu->addAction(QFileInfo(path).fileName(), this, [this, path] { m_controller.openJobFile(path); })
            ->setToolTip(path);
    if (recent.isEmpty())
        m_recentMenu->addAction(QStringLiteral("No recent jobs"))->setEnabled(false);
}

void MainWindow::updateDeviceActions()
{
    bool excluded = false, included = false;
    for (int row : selectedDevices()) {
        const bool isExcluded = m_controller.roster().rows()[std::size_t(row)]->status == DeviceStatusExcluded;
        excluded = excluded || isExcluded;
        included = included || !isExcluded;
    }
    m_excludeAction->setEnabled(included);
    m_includeAction->setEnabled(excluded);
    m_browseAction->setEnabled(selectedDevice() >= 0);
}

QAbstractItemView* MainWindow::deviceView() const
{
    return m_pages->currentWidget() == m_cart ? static_cast<QAbstractItemView*>(m_cart) : m_devices;
}

std::vector<int> MainWindow::selectedDevices() const
{
    QAbstractItemView* view = deviceView();
    auto* proxy = static_cast<QSortFilterProxyModel*>(view->model());
    const QModelIndexList selected
        = view == m_cart ? m_cart->selectionModel()->selectedIndexes() : m_devices->selectionModel()->selectedRows();
    std::vector<int> rows;
    for (const QModelIndex& i : selected)
        if (const int row = m_deviceModel->rosterRow(proxy->mapToSource(i).row()); row >= 0)
            rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

void MainWindow::selectDevice(int rosterRow)
{
    QAbstractItemView* view = deviceView();
    auto* proxy = static_cast<QSortFilterProxyModel*>(view->model());
    const QModelIndex at
        = proxy->mapFromSource(m_deviceModel->index(rosterRow, view == m_cart ? int(DeviceTableModel::Status) : 0));
    view->selectionModel()->select(at, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    view->setCurrentIndex(at);
}

void MainWindow::showCart(bool on)
{
    m_pages->setCurrentWidget(on ? static_cast<QWidget*>(m_cart) : m_vertical);
    if (m_cartAction->isChecked() != on)
        m_cartAction->setChecked(on);
    updateDeviceActions();
}

QLineEdit* MainWindow::appIdField() const
{
    return m_appId->lineEdit();
}

void MainWindow::refillAppChoices()
{
    // A reset empties the field; it shows the job's id, listed or typed, and the list opens on
    // the job's app.
    const QString appId = m_controller.currentDocument()->appId();
    m_appId->setCurrentIndex(m_appId->findData(appId, Qt::EditRole));
    m_appId->setEditText(appId);
    // The list opens as wide as its longest line, wider than the field where need be.
    QAbstractItemView* list = m_appId->view();
    list->setMinimumWidth(m_appChoices->rowCount() > 0 ? list->sizeHintForColumn(0) + 24 : 0);
}

int MainWindow::selectedDevice() const
{
    const std::vector<int> rows = selectedDevices();
    return rows.empty() ? -1 : rows.front();
}

void MainWindow::removeSelectedFiles()
{
    m_controller.OnRemove(selectedFileRows());
    m_files->clearSelection();
}

std::vector<int> MainWindow::selectedFileRows() const
{
    std::vector<int> rows;
    for (const QModelIndex& i : m_files->selectionModel()->selectedRows())
        rows.push_back(i.row());
    return rows;
}

void MainWindow::closeEvent(QCloseEvent* event)
{
    // The window stays until the application ends: the person may cancel, or a stop may
    // still be under way.
    event->ignore();
    emit closeRequested();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event)
{
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    // Later, from the event loop: a question asked inside the drop would hold the file
    // manager's drag until it was answered.
    QTimer::singleShot(0, this, [this, paths] { takeDroppedPaths(paths); });
}

void MainWindow::takeDroppedPaths(const QStringList& paths)
{
    // A job file alone opens; anything else joins the job's files.
    if (paths.size() == 1 && isJobFile(paths.first()))
        m_controller.openJobFile(paths.first());
    else
        m_controller.addFiles(paths);
}

}  // namespace kestrap::app
