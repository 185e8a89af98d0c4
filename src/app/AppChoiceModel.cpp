#include "app/AppChoiceModel.h"

#include "app/AppCatalog.h"

#include <QApplication>
#include <QPalette>
#include <QStyle>

namespace kestrap::app {

AppChoiceModel::AppChoiceModel(AppCatalog& catalog, QObject* parent)
    : QAbstractListModel(parent)
    , m_catalog(catalog)
    , m_genericIcon(QIcon::fromTheme(
          QStringLiteral("application-x-executable"), QApplication::style()->standardIcon(QStyle::SP_FileIcon)))
{
    connect(&catalog, &AppCatalog::appsChanged, this, [this] {
        beginResetModel();
        endResetModel();
    });
}

int AppChoiceModel::receivingCount() const
{
    int n = 0;
    for (const CatalogApp& app : m_catalog.apps())
        n += app.canReceiveFiles();
    return n;
}

int AppChoiceModel::rowCount(const QModelIndex& parent) const
{
    if (parent.isValid())
        return 0;
    const int all = int(m_catalog.apps().size());
    return all + (all > receivingCount() ? 1 : 0);
}

int AppChoiceModel::appAt(int row) const
{
    const int receiving = receivingCount();
    if (row < receiving)
        return row;
    return row == receiving ? -1 : row - 1;
}

Qt::ItemFlags AppChoiceModel::flags(const QModelIndex& index) const
{
    const int app = index.isValid() ? appAt(index.row()) : -1;
    if (app < 0 || !m_catalog.apps()[std::size_t(app)].canReceiveFiles())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

QVariant AppChoiceModel::data(const QModelIndex& index, int role) const
{
    if (!index.isValid() || index.row() >= rowCount())
        return {};
    const int at = appAt(index.row());
    if (at < 0)
        // How QComboBox's delegate knows a separator.
        return role == Qt::AccessibleDescriptionRole ? QVariant(QStringLiteral("separator")) : QVariant();
    const CatalogApp& app = m_catalog.apps()[std::size_t(at)];
    const QString title = app.name.isEmpty() ? app.ID : app.name;
    switch (role) {
    case Qt::EditRole:
        return app.ID;
    case Qt::DisplayRole: {
        QString id = app.name.isEmpty() ? QString() : app.ID;
        if (!app.version.isEmpty())
            id += (id.isEmpty() ? QString() : QStringLiteral(" ")) + app.version;
        const QString where = app.canReceiveFiles()
            ? QStringLiteral("on %1 of %2 devices").arg(app.deviceUids.size()).arg(m_catalog.deviceCount())
            : notSharingText();
        return id.isEmpty() ? title + QStringLiteral(" \u2014 ") + where
                            : QStringLiteral("%1 \u2014 %2 \u2014 %3").arg(title, id, where);
    }
    case Qt::ToolTipRole:
        return app.canReceiveFiles() ? app.ID : app.ID + QStringLiteral(": ") + notSharingText();
    case Qt::DecorationRole:
        // Icon files are on the device, in the app's bundle, which no session here opens.
        return m_genericIcon;
    case Qt::ForegroundRole:
        return app.canReceiveFiles() ? QVariant()
                                     : QVariant(QApplication::palette().color(QPalette::Disabled, QPalette::Text));
    default:
        return {};
    }
}

}  // namespace kestrap::app
