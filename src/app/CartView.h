#pragma once

#include <QListView>
#include <QStyledItemDelegate>

namespace kestrap::app {

// One tile of the cart: the device's name, how it stands in its colour (idle, waiting for its
// user, transferring with a bar, finished, failed) and, when failed or not ready, why in a line
// under it. Type large enough to read from across the room. Painted from DeviceTableModel's
// roles on the row of the index; no widget per tile.
class CartTileDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit CartTileDelegate(QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

    // The room one tile takes in the view, gaps included: 8 by 4 of them fill a 1920x1080
    // window.
    static QSize gridSize();
};

// The whole cart at a glance: a tile per device over the same device model as the list (give
// it a model sorted by place on the hubs). Its column is the status column, so a change of a
// device's status or progress repaints that device's tile alone.
//
// Threading: main thread only.
class CartView : public QListView {
    Q_OBJECT
public:
    explicit CartView(QWidget* parent = nullptr);
    void setModel(QAbstractItemModel* model) override;

protected:
    // QListView paints every item under the bounding rectangle of what is dirty: two devices
    // that change at once, far apart, would repaint the whole block of tiles between them.
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace kestrap::app
