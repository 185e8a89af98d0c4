#include "app/DeviceBrowserWindow.h"

#include "app/AppController.h"
#include "device/tree/FileSystemNode.h"
#include "job/DeviceRoster.h"
#include "job/PortJob.h"
#include "util/Helpers.h"

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

DeviceTreeModel::DeviceTreeModel(std::shared_ptr<iMobileDevice> device, QObject* parent) : QAbstractItemModel(parent)
{
    m_roots.push_back(FileSystemNode::fileSystemRootNodeWithMobileDevice(device));
    m_roots.push_back(FileSystemNode::appRootNodeWithMobileDevice(device));
    std::erase(m_roots, nullptr);
    // A root made with its children (the app root lists its apps) has nothing left to load.
    for (const auto& root : m_roots)
        if (root->validChildren())
            m_loaded.insert(root.get());
    m_loader.setMaxThreadCount(1);
}

DeviceTreeModel::~DeviceTreeModel()
{
    for (const FileSystemNode* node : m_busy)
        const_cast<FileSystemNode*>(node)->stop();
    m_loader.waitForDone();
}

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
    if (!isLoaded(p) || row >= int(p->children().size()))
        return {};
    return createIndex(row, column, p->children()[std::size_t(row)].get());
}

QModelIndex DeviceTreeModel::parent(const QModelIndex& child) const
{
    FileSystemNode* node = nodeAt(child);
    return node ? indexOf(node->parent()) : QModelIndex();
}

QModelIndex DeviceTreeModel::indexOf(FileSystemNode* node) const
{
    if (!node)
        return {};
    FileSystemNode* p = node->parent();
    if (!p) {
        for (std::size_t i = 0; i < m_roots.size(); ++i)
            if (m_roots[i].get() == node)
                return createIndex(int(i), 0, node);
        return {};
    }
    const auto& siblings = p->children();
    for (std::size_t i = 0; i < siblings.size(); ++i)
        if (siblings[i].get() == node)
            return createIndex(int(i), 0, node);
    return {};
}

int DeviceTreeModel::rowCount(const QModelIndex& parent) const
{
    if (parent.column() > 0)
        return 0;
    FileSystemNode* p = nodeAt(parent);
    if (!p)
        return int(m_roots.size());
    return isLoaded(p) ? int(p->children().size()) : 0;
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
    return isFolder(*p) && (!isLoaded(p) || !p->children().empty());
}

bool DeviceTreeModel::canFetchMore(const QModelIndex& parent) const
{
    FileSystemNode* p = nodeAt(parent);
    return p && isFolder(*p) && !isLoaded(p) && !m_busy.count(p);
}

void DeviceTreeModel::fetchMore(const QModelIndex& parent)
{
    if (!canFetchMore(parent))
        return;
    FileSystemNode* p = nodeAt(parent);
    m_busy.insert(p);
    {
        std::lock_guard handOver(m_handOver);
    }
    m_loader.start([this, p] {
        {
            std::lock_guard handOver(m_handOver);
        }
        // What the rows show is read here too, once, so painting asks the device nothing.
        for (const auto& child : p->children())
            if (!isFolder(*child)) {
                child->fileSize();
                child->modifiedDate();
            }
        {
            std::lock_guard handOver(m_handOver);
        }
        QMetaObject::invokeMethod(
            this, [this, p] { childrenLoaded(p); }, Qt::QueuedConnection);
    });
}

void DeviceTreeModel::childrenLoaded(FileSystemNode* node)
{
    {
        std::lock_guard handOver(m_handOver);
    }
    m_busy.erase(node);
    const QModelIndex parent = indexOf(node);
    const int count = int(node->children().size());
    if (count == 0) {
        m_loaded.insert(node);
        emit dataChanged(parent, parent);  // no expander any more
        return;
    }
    beginInsertRows(parent, 0, count - 1);
    m_loaded.insert(node);
    endInsertRows();
}

void DeviceTreeModel::loadImage(const QModelIndex& index)
{
    FileSystemNode* node = nodeAt(index);
    if (!node || isFolder(*node) || m_busy.count(node))
        return;
    m_busy.insert(node);
    {
        std::lock_guard handOver(m_handOver);
    }
    m_loader.start([this, node] {
        {
            std::lock_guard handOver(m_handOver);
        }
        node->realImage();
        {
            std::lock_guard handOver(m_handOver);
        }
        QMetaObject::invokeMethod(
            this,
            [this, node] {
                {
                    std::lock_guard handOver(m_handOver);
                }
                m_busy.erase(node);
                emit imageLoaded(indexOf(node));
            },
            Qt::QueuedConnection);
    });
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
    // Read with the folder's load: a file's row shows once its folder is loaded.
    case Size:
        return isFolder(*node) ? QVariant() : QVariant(CapacityString(node->fileSize()));
    case Modified:
        return isFolder(*node) ? QVariant() : QVariant(QLocale().toString(node->modifiedDate(), QLocale::ShortFormat));
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

    m_model = new DeviceTreeModel(row->device, this);
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
    layout->addWidget(split);
    connect(m_tree->selectionModel(), &QItemSelectionModel::currentChanged, this, &DeviceBrowserWindow::showPreview);
    connect(m_model, &DeviceTreeModel::imageLoaded, this, &DeviceBrowserWindow::imageLoaded);
}

void DeviceBrowserWindow::showPreview(const QModelIndex& index)
{
    m_preview->clear();
    m_info->clear();
    FileSystemNode* node = m_model->nodeAt(index);
    if (!node || isFolder(*node))
        return;
    m_info->setText(node->displayName() + QStringLiteral("\n") + QStringLiteral("Loading\u2026"));
    m_model->loadImage(index);
}

void DeviceBrowserWindow::imageLoaded(const QModelIndex& index)
{
    // The person may have moved on while it loaded.
    if (index != m_tree->currentIndex().siblingAtColumn(0))
        return;
    FileSystemNode* node = m_model->nodeAt(index);
    const QVariant image = node->image();
    if (image.canConvert<QImage>() && !image.value<QImage>().isNull()) {
        const QImage img = image.value<QImage>();
        const QSize box = m_preview->size().boundedTo(img.size());
        m_preview->setPixmap(QPixmap::fromImage(img.scaled(box, Qt::KeepAspectRatio, Qt::SmoothTransformation)));
        m_info->setText(node->displayName() + QStringLiteral("\n") + node->dimension());
    } else {
        m_info->setText(node->displayName() + QStringLiteral("\n") + CapacityString(node->fileSize()));
    }
    emit previewShown();
}

}  // namespace kestrap::app
