#pragma once

#include <QAbstractListModel>
#include <QIcon>

namespace kestrap::app {

class AppCatalog;

// The App ID field's list: the apps that can receive files on the connected devices ("Reader —
// com.example.reader 2.1 — on 3 of 4 devices"), then, below a separator, those that do not
// share their files, greyed and not selectable, saying why. The edit role is the bundle id, so
// choosing an app puts its id in the field. Reset whenever the catalog changes.
//
// Threading: main thread only.
class AppChoiceModel : public QAbstractListModel {
    Q_OBJECT
public:
    explicit AppChoiceModel(AppCatalog& catalog, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    static QString notSharingText() { return QStringLiteral("does not share its files with a computer"); }

private:
    int receivingCount() const;
    // The catalog's app shown at that row, or -1 for the separator.
    int appAt(int row) const;

    AppCatalog& m_catalog;
    QIcon m_genericIcon;
};

}  // namespace kestrap::app
