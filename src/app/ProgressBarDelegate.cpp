#include "app/ProgressBarDelegate.h"

#include <QApplication>
#include <QPainter>
#include <algorithm>

namespace kestrap::app {

namespace {

constexpr double kCap = 10;

void threeSlices(std::vector<BarSlice>& out, const QRectF& dst, QSizeF imageSize, bool fill)
{
    const double ih = imageSize.height();
    out.push_back({QRectF(dst.x(), dst.y(), kCap, dst.height()), QRectF(0, 0, kCap, ih), fill});
    out.push_back(
        {QRectF(dst.x() + kCap, dst.y(), dst.width() - 2 * kCap, dst.height()), QRectF(kCap, 0, kCap, ih), fill});
    out.push_back(
        {QRectF(dst.right() - kCap, dst.y(), kCap, dst.height()), QRectF(imageSize.width() - kCap, 0, kCap, ih), fill});
}

}  // namespace

std::vector<BarSlice> progressBarSlices(
    const QRectF& rect, QSizeF backgroundSize, QSizeF fillSize, double value, double min, double max)
{
    std::vector<BarSlice> out;
    // Qt's y axis points down, so the bar sits as a flipped view's does.
    const QRectF bg(rect.x(), rect.y() + 4, rect.width(), rect.height() - 8);
    threeSlices(out, bg, backgroundSize, false);

    const double range = max - min;
    const double ratio = range > 0 ? std::clamp((value - min) / range, 0.0, 1.0) : 0.0;
    const auto width = float((rect.width() - 3) * ratio);
    const QRectF fill(rect.x() + 1.5, bg.y() + 1.5, width, bg.height() - 3);
    if (width < kCap)
        out.push_back({fill, QRectF(0, 0, kCap, fillSize.height()), true});
    else
        threeSlices(out, fill, fillSize, true);
    return out;
}

ProgressBarDelegate::ProgressBarDelegate(QObject* parent)
    : QStyledItemDelegate(parent)
    , m_background(QStringLiteral(":/images/progressbg.png"))
    , m_fill(QStringLiteral(":/images/progress.png"))
{
}

void ProgressBarDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QStyleOptionViewItem opt = option;
    initStyleOption(&opt, index);
    opt.text.clear();
    // The row's background and selection, as for any other cell.
    QStyle* style = opt.widget ? opt.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, opt.widget);

    const double value = index.data(Qt::DisplayRole).toDouble();
    const QRectF bar = QRectF(option.rect).adjusted(4, 1, -4, -1);
    painter->save();
    painter->setRenderHint(QPainter::SmoothPixmapTransform);
    for (const BarSlice& s : progressBarSlices(bar, m_background.size(), m_fill.size(), value, 0, 100))
        if (s.target.width() > 0)
            painter->drawPixmap(s.target, s.fill ? m_fill : m_background, s.source);
    painter->setPen(option.palette.color(QPalette::Text));
    QFont font = option.font;
    font.setPointSizeF(font.pointSizeF() * 0.85);
    painter->setFont(font);
    painter->drawText(bar, Qt::AlignCenter, QStringLiteral("%1%").arg(int(value)));
    painter->restore();
}

QSize ProgressBarDelegate::sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    QSize size = QStyledItemDelegate::sizeHint(option, index);
    size.setHeight(std::max(size.height(), 24));
    size.setWidth(std::max(size.width(), 120));
    return size;
}

}  // namespace kestrap::app
