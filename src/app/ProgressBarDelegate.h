#pragma once

#include <QPixmap>
#include <QRectF>
#include <QStyledItemDelegate>
#include <vector>

namespace kestrap::app {

// One piece of the bar: where it goes and which part of its image it shows.
struct BarSlice {
    QRectF target;
    QRectF source;
    bool fill = false;  // from the fill image, else from the background image
};

// The geometry of a bar inside rect: the background in three slices (left cap 10 wide,
// middle stretched from source x 10 to 20, right cap 10 wide), 4 points in from top and
// bottom; the fill 1.5 points inside it, (w - 3) times the ratio wide, one squeezed left
// slice when that is under 10 points. The ratio is (value - min) / (max - min), clamped to
// 0..1, so a range that does not start at 0 never overflows the bar.
std::vector<BarSlice> progressBarSlices(
    const QRectF& rect, QSizeF backgroundSize, QSizeF fillSize, double value, double min, double max);

// Paints the model's value (Qt::DisplayRole, percent 0..100) as a bar from "progressbg.png"
// and "progress.png", with the percentage over it. No widget per cell.
class ProgressBarDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    explicit ProgressBarDelegate(QObject* parent = nullptr);
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;

private:
    QPixmap m_background;
    QPixmap m_fill;
};

}  // namespace kestrap::app
