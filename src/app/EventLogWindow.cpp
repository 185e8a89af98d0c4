#include "app/EventLogWindow.h"

#include "app/EventLogModel.h"
#include "logging/DBLogReader.h"

#include <QCloseEvent>
#include <QFileSystemWatcher>
#include <QHeaderView>
#include <QTableView>
#include <QVBoxLayout>

namespace kestrap::app {

EventLogWindow::EventLogWindow(const QString& logDirectory, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_reader(std::make_unique<DBLogReader>(logDirectory))
    , m_model(new EventLogModel(kMaxRows, this))
    , m_table(new QTableView(this))
{
    setWindowTitle(QStringLiteral("Event Log"));
    resize(760, 460);
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setAlternatingRowColors(true);
    m_table->setShowGrid(false);
    m_table->setWordWrap(false);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(m_table->fontMetrics().height() + 6);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_table->setColumnWidth(0, 70);
    m_table->setColumnWidth(1, 180);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_table);

    m_coalesce.setSingleShot(true);
    m_coalesce.setInterval(kCoalesceMs);
    connect(&m_coalesce, &QTimer::timeout, this, &EventLogWindow::refreshLogging);
}

EventLogWindow::~EventLogWindow() = default;

void EventLogWindow::show()
{
    if (isVisible()) {
        raise();
        activateWindow();
        return;
    }
    m_model->clear();
    m_model->append(m_reader->loadFrom(0, kMaxRows, true));
    QWidget::show();
    startMonitoring();
    scrollToNewest();
}

void EventLogWindow::refreshLogging()
{
    const auto& shown = m_model->entries();
    if (!shown.empty() && shown.back().hasTimestamp())
        m_model->append(m_reader->loadFrom(0, kMaxRows, shown.back().TimeStamp()));
    else if (shown.empty())
        m_model->append(m_reader->loadFrom(0, kMaxRows, true));
    scrollToNewest();
}

bool EventLogWindow::isMonitoring() const
{
    return m_watcher != nullptr;
}

void EventLogWindow::startMonitoring()
{
    if (m_watcher)
        return;
    m_watcher = new QFileSystemWatcher(this);
    m_watcher->addPath(m_reader->logDirectory());
    // The database file itself, too: its writes change no directory entry.
    m_watcher->addPath(m_reader->databasePath());
    auto kick = [this] {
        if (!m_coalesce.isActive())
            m_coalesce.start();
    };
    connect(m_watcher, &QFileSystemWatcher::directoryChanged, this, kick);
    connect(m_watcher, &QFileSystemWatcher::fileChanged, this, [this, kick](const QString& path) {
        // A file that is replaced leaves the watch; keep following the new one.
        if (!m_watcher->files().contains(path))
            m_watcher->addPath(path);
        kick();
    });
}

void EventLogWindow::stopMonitoring()
{
    delete m_watcher;
    m_watcher = nullptr;
    m_coalesce.stop();
}

void EventLogWindow::closeEvent(QCloseEvent* event)
{
    stopMonitoring();
    m_model->clear();
    event->accept();
}

void EventLogWindow::scrollToNewest()
{
    if (m_model->rowCount() > 0)
        m_table->scrollToBottom();
}

}  // namespace kestrap::app
