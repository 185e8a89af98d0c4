#include "app/DeviceBrowserWindow.h"

#include "app/AppController.h"
#include "device/tree/FileSystemNode.h"
#include "job/DeviceRoster.h"
#include "job/PortJob.h"

#include <QApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QSplitter>
#include <QStyle>
#include <QTreeView>
#include <QVBoxLayout>

namespace kestrap::app {

namespace {

// The app root lists apps, not files, and does not call itself a folder.
bool isFolder(const FileSystemNode& node)
{
    return node.isDirectory() || node.fsType() == FSTypeApps;
}

}  // namespace

DeviceTreeModel::DeviceTreeModel(std::shared_ptr<iMobileDevice> device, std::function<bool()> canLoad, QObject* parent)
    : QAbstractItemModel(parent), m_canLoad(std::move(canLoad))
{
    m_roots.push_back(FileSystemNode::fileSystemRootNodeWithMobileDevice(device));
    m_roots.push_back(FileSystemNode::appRootNodeWithMobileDevice(device));
    std::erase(m_roots, nullptr);
}

DeviceTreeModel::~DeviceTreeModel() = default;

FileSystemNode* DeviceTreeModel::nodeAt(const QModelIndex& index) const
{
    return index.isValid() ? static_cast<FileSystemNode*>(index.internalPointer()) : nullptr;
}

QModelIndex DeviceTreeModel::index(int row, int column, const QModelIndex& parent) const
{
    if (row < 0 || column < 0 || column >= ColumnCount)
        return {};
    FileSystemNode* p = nodeAt(parent);
    if (!p)
        return row < int(m_roots.size()) ? createIndex(row, column, m_roots[std::size_t(row)].get()) : QModelIndex();
    if (!p->validChildren() || row >= int(p->children().size()))
        return {};
    return createIndex(row, column, p->children()[std::size_t(row)].get());
}

QModelIndex DeviceTreeModel::parent(const QModelIndex& child) const
{
    FileSystemNode* node = nodeAt(child);
    FileSystemNode* p = node ? node->parent() : nullptr;
    if (!p)
        return {};
    FileSystemNode* grand = p->parent();
    if (!grand) {
        for (std::size_t i = 0; i < m_roots.size(); ++i)
            if (m_roots[i].get() == p)
                return createIndex(int(i), 0, p);
        return {};
    }
    const auto& siblings = grand->children();
    for (std::size_t i = 0; i < siblings.size(); ++i)
        if (siblings[i].get() == p)
            return createIndex(int(i), 0, p);
    return {};
}

int DeviceTreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.column() > 0)
        return 0;
    FileSystemNode* p = nodeAt(parent);
    if (!p)
        return int(m_roots.size());
    return p->validChildren() ? int(p->children().size()) : 0;
}

int DeviceTreeModel::columnCount(const QModelIndex&) const
{
    return ColumnCount;
}

bool DeviceTreeModel::hasChildren(const QModelIndex& parent) const
{
    FileSystemNode* p = nodeAt(parent);
    if (!p)
        return !m_roots.empty();
    return isFolder(*p) && (!p->validChildren() || !p->children().empty());
}

bool DeviceTreeModel::canFetchMore(const QModelIndex& parent) const
{
    FileSystemNode* p = nodeAt(parent);
    return p && isFolder(*p) && !p->validChildren() && m_canLoad();
}

void DeviceTreeModel::fetchMore(const QModelIndex& parent)
{
    FileSystemNode* p = nodeAt(parent);
    if (!p || !m_canLoad())
        return;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const int count = int(p->children().size());
    QApplication::restoreOverrideCursor();
    if (count > 0) {
        beginInsertRows(parent, 0, count - 1);
        endInsertRows();
    }
}

QVariant DeviceTreeModel::data(const QModelIndex& index, int role) const
{
    FileSystemNode* node = nodeAt(index);
    if (!node)
        return {};
    if (role == Qt::DecorationRole && index.column() == Name) {
        const QStyle::StandardPixmap kind = isFolder(*node) ? QStyle::SP_DirIcon : QStyle::SP_FileIcon;
        return QApplication::style()->standardIcon(kind);
    }
    if (role == Qt::TextAlignmentRole && index.column() == Size)
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    const bool isRoot = !node->parent();
    switch (index.column()) {
    case Name:
        if (isRoot)
            return node->fsType() == FSTypeApps ? QStringLiteral("Apps") : QStringLiteral("Media");
        return node->displayName();
    case Size:
        // Sizes and dates ask the device; only for files, and only while it may be asked.
        return isFolder(*node) || !m_canLoad() ? QVariant() : QVariant(node->sizeString());
    case Modified:
        return isFolder(*node) || !m_canLoad()
            ? QVariant()
            : QVariant(QLocale().toString(node->modifiedDate(), QLocale::ShortFormat));
    default:
        return {};
    }
}

QVariant DeviceTreeModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const titles[] = {"Name", "Size", "Modified"};
    return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section]) : QVariant();
}

DeviceBrowserWindow::DeviceBrowserWindow(AppController& controller, int deviceRow, QWidget* parent)
    : QWidget(parent, Qt::Window), m_controller(controller)
{
    setAttribute(Qt::WA_DeleteOnClose);
    const DeviceRowPtr row = controller.roster().rows().at(std::size_t(deviceRow));
    setWindowTitle(row->name + QStringLiteral(" — Browse Device"));
    resize(860, 520);

    auto canLoad = [&controller] { return !controller.currentJob()->isWorking(); };
    m_model = new DeviceTreeModel(row->device, canLoad, this);
    m_tree = new QTreeView(this);
    m_tree->setModel(m_model);
    m_tree->setUniformRowHeights(true);
    m_tree->setAlternatingRowColors(true);
    m_tree->header()->resizeSection(DeviceTreeModel::Name, 320);
    m_tree->header()->resizeSection(DeviceTreeModel::Size, 100);

    m_preview = new QLabel(this);
    m_preview->setAlignment(Qt::AlignCenter);
    m_preview->setMinimumWidth(240);
    m_info = new QLabel(this);
    m_info->setAlignment(Qt::AlignCenter);
    m_info->setWordWrap(true);
    auto* side = new QWidget(this);
    auto* sideLayout = new QVBoxLayout(side);
    sideLayout->addWidget(m_preview, 1);
    sideLayout->addWidget(m_info);

    auto* split = new QSplitter(this);
    split->addWidget(m_tree);
    split->addWidget(side);
    split->setStretchFactor(0, 3);
    split->setStretchFactor(1, 1);
    auto* layout = new QVBoxLayout(this);
    if (!canLoad()) {
        auto* busy = new QLabel(QStringLiteral("A job is running: stop it to browse this device."), this);
        busy->setStyleSheet(QStringLiteral("font-weight: bold"));
        layout->addWidget(busy);
    }
    layout->addWidget(split);
    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this, &DeviceBrowserWindow::showPreview);
}

void DeviceBrowserWindow::showPreview(const QModelIndex& index)
{
    m_preview->clear();
    m_info->clear();
    FileSystemNode* node = m_model->nodeAt(index);
    if (!node || isFolder(*node) || m_controller.currentJob()->isWorking())
        return;
    const QVariant image = node->realImage();
    if (image.canConvert<QImage>() && !image.value<QImage>().isNull()) {
        const QImage img = image.value<QImage>();
        const QSize box = m_preview->size().boundedTo(img.size());
        m_preview->setPixmap(QPixmap::fromImage(img.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
        m_info->setText(node->displayName() + QStringLiteral("\n") + node->dimension());
        return;
    }
    m_info->setText(node->displayName() + QStringLiteral("\n") + node->sizeString());
}

}  // namespace kestrap::app
