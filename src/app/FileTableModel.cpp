#include "app/FileTableModel.h"

#include "job/JobDocument.h"
#include "job/SendPlan.h"

#include <QFileIconProvider>
#include <QFileInfo>

namespace kestrap::app {

FileTableModel::FileTableModel(QObject* parent) : JobListModel(parent) { }

void FileTableModel::setDocument(JobDocument* document)
{
    beginResetModel();
    for (const auto& c : m_connections)
        disconnect(c);
    m_connections.clear();
    m_document = document;
    if (m_document) {
        m_connections.push_back(
            connect(document, &JobDocument::filePathsAboutToChange, this, &FileTableModel::beginChange));
        m_connections.push_back(connect(document, &JobDocument::filePathsChanged, this, &FileTableModel::endChange));
        m_connections.push_back(connect(document, &JobDocument::settingChanged, this, &FileTableModel::settingChanged));
        m_connections.push_back(connect(document, &QObject::destroyed, this, [this] { setDocument(nullptr); }));
    }
    endResetModel();
}

int FileTableModel::rowCount(const QModelIndex& parent) const
{
    return parent.isValid() || !m_document ? 0 : int(m_document->filePaths().size());
}

int FileTableModel::columnCount(const QModelIndex& parent) const
{
    return parent.isValid() ? 0 : ColumnCount;
}

QIcon FileTableModel::iconFor(const QString& path) const
{
    auto it = m_icons.find(path);
    if (it == m_icons.end()) {
        static QFileIconProvider provider;
        it = m_icons.insert(path, provider.icon(QFileInfo(path)));
    }
    return *it;
}

QVariant FileTableModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const FileEntry& entry = *m_document->filePaths()[std::size_t(index.row())];
    if (role == Qt::DecorationRole && index.column() == Path)
        return iconFor(entry.path);
    if (role != Qt::DisplayRole && role != Qt::ToolTipRole)
        return {};
    if (index.column() == Path)
        return entry.path;
    if (index.column() == Folder)
        return SendPlan::remoteFolderOf(m_document->folder(), entry);
    return {};
}

QVariant FileTableModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    if (section == Path)
        return QStringLiteral("File");
    if (section == Folder)
        return QStringLiteral("Folder in the app");
    return {};
}

Qt::ItemFlags FileTableModel::flags(const QModelIndex& index) const
{
    // Drops land on the table as a whole, never on a row.
    return QAbstractTableModel::flags(index) | (index.isValid() ? Qt::NoItemFlags : Qt::ItemIsDropEnabled);
}

QStringList FileTableModel::mimeTypes() const
{
    return {QStringLiteral("text/uri-list")};
}

Qt::DropActions FileTableModel::supportedDropActions() const
{
    return Qt::CopyAction;
}

void FileTableModel::settingChanged(JobSetting which)
{
    if (which == JobSetting::Folder && rowCount() > 0)
        emit dataChanged(index(0, Folder), index(rowCount() - 1, Folder));
}

}  // namespace kestrap::app
