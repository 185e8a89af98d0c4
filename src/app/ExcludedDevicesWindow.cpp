#include "app/ExcludedDevicesWindow.h"

#include "app/AppController.h"
#include "app/DeviceTableModel.h"
#include "job/JobDocument.h"

#include <QDialogButtonBox>
#include <QEvent>
#include <QHeaderView>
#include <QItemSelectionModel>
#include <QLabel>
#include <QTableView>
#include <QToolButton>
#include <QVBoxLayout>

namespace kestrap::app {

ExcludedDeviceModel::ExcludedDeviceModel(QObject* parent) : JobListModel(parent) { }

void ExcludedDeviceModel::setDocument(JobDocument* document)
{
    beginResetModel();
    for (const auto& c : m_connections)
        disconnect(c);
    m_connections.clear();
    m_document = document;
    if (m_document) {
        m_connections.push_back(
            connect(document, &JobDocument::excludedDevicesAboutToChange, this, &ExcludedDeviceModel::beginChange));
        m_connections.push_back(
            connect(document, &JobDocument::excludedDevicesChanged, this, &ExcludedDeviceModel::endChange));
        m_connections.push_back(connect(document, &QObject::destroyed, this, [this] { setDocument(nullptr); }));
    }
    endResetModel();
}

int ExcludedDeviceModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !m_document ? 0 : int(m_document->excludedDevices().size());
}

int ExcludedDeviceModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QVariant ExcludedDeviceModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const ExcludedDevice& d = m_document->excludedDevices()[std::size_t(index.row())];
    if (role == Qt::DecorationRole && index.column() == Name)
        return DeviceTableModel::deviceIcon(d.icon.isEmpty() ? QStringLiteral("iPhone") : d.icon);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    return index.column() == Name ? d.name : d.uid;
}

QVariant ExcludedDeviceModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    return section == Name ? QStringLiteral("Name") : QStringLiteral("Identifier");
}

ExcludedDevicesWindow::ExcludedDevicesWindow(AppController& controller, QWidget* parent)
    : QDialog(parent)
    , m_controller(controller)
    , m_model(new ExcludedDeviceModel(this))
    , m_table(new QTableView(this))
    , m_takeBack(new QToolButton(m_table->viewport()))
{
    setWindowTitle(QStringLiteral("Excluded Devices"));
    resize(640, 300);
    auto* layout = new QVBoxLayout(this);
    auto* hint = new QLabel(QStringLiteral("These devices are left out of the job. Select one to take it back."), this);
    layout->addWidget(hint);
    m_table->setModel(m_model);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::SingleSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_table->setShowGrid(false);
    m_table->setIconSize(QSize(20, 20));
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setDefaultSectionSize(28);
    m_table->horizontalHeader()->setStretchLastSection(true);
    m_table->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    m_table->setColumnWidth(ExcludedDeviceModel::Name, 200);
    m_table->viewport()->installEventFilter(this);
    layout->addWidget(m_table);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, this);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::close);
    layout->addWidget(buttons);

    m_takeBack->setText(QStringLiteral("Include"));
    m_takeBack->setToolTip(QStringLiteral("Take this device back into the job"));
    m_takeBack->setIcon(style()->standardIcon(QStyle::SP_DialogResetButton));
    m_takeBack->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_takeBack->hide();
    connect(m_takeBack, &QToolButton::clicked, this, &ExcludedDevicesWindow::OnSegmentSelected);
    // Rows come and go under the selected one: the button moves with it.
    connect(
        m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this, &ExcludedDevicesWindow::placeTakeBack);
    connect(m_model, &QAbstractItemModel::modelReset, this, &ExcludedDevicesWindow::placeTakeBack);
    connect(m_model, &QAbstractItemModel::rowsInserted, this, &ExcludedDevicesWindow::placeTakeBack);
    connect(m_model, &QAbstractItemModel::rowsRemoved, this, &ExcludedDevicesWindow::placeTakeBack);
    // Rows are taken back by index: they must be the current document's rows.
    connect(&m_controller, &AppController::documentReplaced, this,
        [this] { m_model->setDocument(m_controller.currentDocument()); });
}

void ExcludedDevicesWindow::show()
{
    m_model->setDocument(m_controller.currentDocument());
    QDialog::show();
    raise();
    activateWindow();
    placeTakeBack();
}

void ExcludedDevicesWindow::OnSegmentSelected()
{
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    if (rows.isEmpty())
        return;
    m_controller.includeExcludedDevice(rows.first().row());
    placeTakeBack();
}

bool ExcludedDevicesWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_table->viewport() && event->type() == QEvent::Resize)
        placeTakeBack();
    return QDialog::eventFilter(watched, event);
}

void ExcludedDevicesWindow::placeTakeBack()
{
    const QModelIndexList rows = m_table->selectionModel()->selectedRows();
    if (rows.isEmpty()) {
        m_takeBack->hide();
        return;
    }
    const QRect row
        = m_table->visualRect(rows.first())
              .united(m_table->visualRect(rows.first().siblingAtColumn(ExcludedDeviceModel::ColumnCount - 1)));
    const QSize size = m_takeBack->sizeHint().boundedTo(QSize(200, row.height()));
    m_takeBack->setGeometry(m_table->viewport()->width() - size.width() - 2,
        row.y() + (row.height() - size.height()) / 2, size.width(), size.height());
    m_takeBack->show();
    m_takeBack->raise();
}

}  // namespace kestrap::app
