#include "app/CartView.h"

#include "app/DeviceTableModel.h"

#include <QApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionProgressBar>

namespace kestrap::app {

namespace {

using Standing = DeviceTableModel::Standing;

constexpr int kGap = 8;
constexpr int kPad = 12;

struct Look {
    QColor fill, accent;
    const char* text;
};

Look lookOf(Standing standing)
{
    switch (standing) {
    case Standing::Excluded:
        return {QColor(0xf0, 0xf0, 0xf0), QColor(0x90, 0x90, 0x90), "Excluded"};
    case Standing::WaitingForUser:
        return {QColor(0xff, 0xe6, 0xb8), QColor(0xb3, 0x5c, 0x00), "Needs you"};
    case Standing::Transferring:
        return {QColor(0xd4, 0xe6, 0xff), QColor(0x1a, 0x5f, 0xc0), "Transferring"};
    case Standing::Finished:
        return {QColor(0xd2, 0xf0, 0xd2), QColor(0x23, 0x7a, 0x2e), "Finished"};
    case Standing::Failed:
        return {QColor(0xff, 0xd3, 0xd3), QColor(0xb7, 0x1c, 0x1c), "Failed"};
    case Standing::Idle:
        break;
    }
    return {QColor(0xe6, 0xe6, 0xe6), QColor(0x60, 0x60, 0x60), "Idle"};
}

QFont sized(QFont font, int pixels, bool bold)
{
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void paintBar(QPainter* painter, const QStyleOptionViewItem& option, const QRect& rect, int percent)
{
    QStyleOptionProgressBar bar;
    bar.rect = rect;
    bar.palette = option.palette;
    bar.state = QStyle::State_Enabled | QStyle::State_Horizontal;
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = percent;
    bar.textVisible = false;
    QStyle* style = option.widget ? option.widget->style() : QApplication::style();
    style->drawControl(QStyle::CE_ProgressBar, &bar, painter, option.widget);
}

}  // namespace

CartTileDelegate::CartTileDelegate(QObject* parent) : QStyledItemDelegate(parent) { }

QSize CartTileDelegate::gridSize()
{
    return {232, 224};
}

QSize CartTileDelegate::sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const
{
    return gridSize() - QSize(kGap, kGap);
}

void CartTileDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const
{
    const auto standing = Standing(index.data(DeviceTableModel::StandingRole).toInt());
    const Look look = lookOf(standing);
    const QRect tile = option.rect.adjusted(2, 2, -2, -2);
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    const bool selected = option.state & QStyle::State_Selected;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(tile), 10, 10);
    painter->fillPath(shape, look.fill);
    painter->setPen(QPen(selected ? option.palette.color(QPalette::Highlight) : look.accent, selected ? 5 : 3));
    painter->drawPath(shape);

    QRect line = tile.adjusted(kPad, kPad, -kPad, -kPad);
    const QFont base = option.font;
    const auto text = [&](const QString& s, const QFont& font, const QColor& colour, int height) {
        painter->setFont(font);
        painter->setPen(colour);
        const QRect r(line.topLeft(), QSize(line.width(), height));
        painter->drawText(
            r, Qt::AlignLeft | Qt::AlignVCenter, QFontMetrics(font).elidedText(s, Qt::ElideRight, r.width()));
        line.setTop(line.top() + height);
    };
    const QString name = index.siblingAtColumn(DeviceTableModel::Name).data().toString();
    text(name, sized(base, 30, true), QColor(0x1a, 0x1a, 0x1a), 40);
    const int progress = index.data(DeviceTableModel::ProgressRole).toInt();
    text(QString::fromLatin1(look.text), sized(base, 26, true), look.accent, 36);
    if (standing == Standing::Transferring) {
        const QFont percentFont = sized(base, 22, true);
        const int percentWidth = QFontMetrics(percentFont).horizontalAdvance(QStringLiteral("100%")) + 6;
        const QRect bar(line.left(), line.top() + 8, line.width() - percentWidth, 24);
        paintBar(painter, option, bar, progress);
        painter->setFont(percentFont);
        painter->setPen(look.accent);
        painter->drawText(QRect(bar.right(), bar.top() - 4, percentWidth, bar.height() + 8),
            Qt::AlignRight | Qt::AlignVCenter, QStringLiteral("%1%").arg(progress));
        line.setTop(line.top() + 40);
    }
    const QString cause = index.data(DeviceTableModel::CauseRole).toString();
    if (!cause.isEmpty()) {
        painter->setFont(sized(base, 20, false));
        painter->setPen(QColor(0x1a, 0x1a, 0x1a));
        painter->drawText(line, Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, cause);
    }
    painter->restore();
}

CartView::CartView(QWidget* parent) : QListView(parent)
{
    setViewMode(QListView::IconMode);
    setMovement(QListView::Static);
    setResizeMode(QListView::Adjust);
    setFlow(QListView::LeftToRight);
    setWrapping(true);
    setUniformItemSizes(true);
    setGridSize(CartTileDelegate::gridSize());
    setSpacing(0);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setItemDelegate(new CartTileDelegate(this));
}

void CartView::setModel(QAbstractItemModel* model)
{
    QListView::setModel(model);
    setModelColumn(DeviceTableModel::Status);
}

void CartView::paintEvent(QPaintEvent* event)
{
    const QRegion dirty = event->region();
    if (dirty.rectCount() <= 1)
        return QListView::paintEvent(event);
    for (const QRect& part : dirty) {
        QPaintEvent partEvent(part);
        QListView::paintEvent(&partEvent);
    }
}

}  // namespace kestrap::app
