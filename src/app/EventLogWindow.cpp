#include "app/EventLogWindow.h"

#include "app/EventLogModel.h"
#include "logging/DBLogReader.h"
#include "logging/Log.h"

#include <algorithm>

#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileSystemWatcher>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QShortcut>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QVBoxLayout>

namespace kestrap::app {

namespace {

// Rows of the chosen levels whose message holds the search text (any case).
class EventFilter : public QSortFilterProxyModel {
public:
    using QSortFilterProxyModel::QSortFilterProxyModel;

    void setLevels(int mask)
    {
        m_levels = mask;
        invalidateRowsFilter();
    }
    void setText(const QString& text)
    {
        m_text = text;
        invalidateRowsFilter();
    }

protected:
    bool filterAcceptsRow(int row, const QModelIndex&) const override
    {
        const auto& entries = static_cast<EventLogModel*>(sourceModel())->entries();
        const DBLogEntry& e = entries[std::size_t(row)];
        return (m_levels == 0 || (e.level() & m_levels)) && e.message().contains(m_text, Qt::CaseInsensitive);
    }

private:
    int m_levels = 0;
    QString m_text;
};

}  // namespace

EventLogWindow::EventLogWindow(const QString& logDirectory, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_reader(std::make_unique<DBLogReader>(logDirectory))
    , m_model(new EventLogModel(kMaxRows, this))
    , m_shown(new EventFilter(this))
    , m_table(new QTableView(this))
    , m_level(new QComboBox(this))
    , m_search(new QLineEdit(this))
{
    setWindowTitle(QStringLiteral("Event Log"));
    resize(760, 460);
    m_shown->setSourceModel(m_model);
    m_table->setModel(m_shown);
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
    m_level->addItem(QStringLiteral("All levels"), 0);
    m_level->addItem(QStringLiteral("Errors"), int(LogFlagError));
    m_level->addItem(QStringLiteral("Warnings and errors"), int(LogFlagWarn | LogFlagError));
    m_level->addItem(QStringLiteral("Information"), int(LogFlagInfo));
    m_search->setPlaceholderText(QStringLiteral("Search messages"));
    m_search->setClearButtonEnabled(true);
    auto* copy = new QPushButton(QStringLiteral("Copy"), this);
    auto* copyShortcut = new QShortcut(QKeySequence::Copy, m_table, nullptr, nullptr, Qt::WidgetWithChildrenShortcut);
    connect(copy, &QPushButton::clicked, this, &EventLogWindow::copySelection);
    connect(copyShortcut, &QShortcut::activated, this, &EventLogWindow::copySelection);
    auto* filter = static_cast<EventFilter*>(m_shown);
    connect(m_level, &QComboBox::currentIndexChanged, this,
        [this, filter] { filter->setLevels(m_level->currentData().toInt()); });
    connect(m_search, &QLineEdit::textChanged, this, [filter](const QString& text) { filter->setText(text); });

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* bar = new QHBoxLayout;
    bar->setContentsMargins(6, 6, 6, 0);
    bar->addWidget(m_level);
    bar->addWidget(m_search, 1);
    bar->addWidget(copy);
    layout->addLayout(bar);
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

QString EventLogWindow::copySelection() const
{
    QModelIndexList rows = m_table->selectionModel()->selectedRows();
    std::sort(rows.begin(), rows.end());
    QStringList lines;
    for (const QModelIndex& shown : rows) {
        QStringList cells;
        for (int column = 0; column < EventLogModel::ColumnCount; ++column)
            cells << m_shown->index(shown.row(), column).data().toString();
        lines << cells.join(u'\t');
    }
    const QString text = lines.join(u'\n');
    if (!text.isEmpty())
        QGuiApplication::clipboard()->setText(text);
    return text;
}

void EventLogWindow::scrollToNewest()
{
    if (m_model->rowCount() > 0)
        m_table->scrollToBottom();
}

}  // namespace kestrap::app
