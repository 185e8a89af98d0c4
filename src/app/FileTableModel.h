#pragma once

#include "app/JobListModel.h"

#include <QHash>
#include <QIcon>

namespace kestrap {
class JobDocument;
enum class JobSetting;
}  // namespace kestrap

namespace kestrap::app {

// The document's chosen files and folders: the desktop's icon for the path, the path, and
// the folder in the app's container that receives it. Rows follow the document's file list
// one by one; a new job folder repaints the folder column only.
class FileTableModel : public JobListModel {
    Q_OBJECT
public:
    enum Column { Path, Folder, ColumnCount };

    explicit FileTableModel(QObject* parent = nullptr);

    // Follows another document (after New or Open); null shows nothing.
    void setDocument(JobDocument* document);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    QStringList mimeTypes() const override;
    Qt::DropActions supportedDropActions() const override;

private:
    void settingChanged(JobSetting which);
    QIcon iconFor(const QString& path) const;

    JobDocument* m_document = nullptr;
    std::vector<QMetaObject::Connection> m_connections;
    mutable QHash<QString, QIcon> m_icons;  // the desktop's icons are slow to look up
};

}  // namespace kestrap::app
