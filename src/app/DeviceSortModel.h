#pragma once

#include <QSortFilterProxyModel>
#include <functional>

class QHeaderView;
class QMenu;

namespace kestrap::app {

// The device list in the order the operator chose, by DeviceTableModel's SortRole: numbers
// by value, text in natural order ("1-4.2" before "1-4.10"), empty text last, so devices whose
// place is not known do not come before the cart's. Rows that sort alike keep the roster's
// order. Changes of one row stay changes of that row.
//
// Threading: main thread only.
class DeviceSortModel : public QSortFilterProxyModel {
    Q_OBJECT
public:
    explicit DeviceSortModel(QObject* parent = nullptr);

    // Natural order of two texts, as the list sorts them.
    bool naturalLess(const QString& a, const QString& b) const;

protected:
    bool lessThan(const QModelIndex& left, const QModelIndex& right) const override;
};

// The header's context menu: one check per column, to hide and show it; the last shown one
// cannot be hidden. changed runs after each choice. columnMenu makes it (the caller owns it);
// installColumnMenu shows it on a right click.
QMenu* columnMenu(QHeaderView* header, const std::function<void()>& changed);
void installColumnMenu(QHeaderView* header, std::function<void()> changed);

}  // namespace kestrap::app
