#include "app/DeviceSortModel.h"

#include "app/DeviceTableModel.h"

#include <QHeaderView>
#include <QMenu>

namespace kestrap::app {

namespace {

// Compares digit runs by value and the rest by character, so that "1-4.2" comes before
// "1-4.10" in any locale (a collator's numeric mode depends on the one the program runs in).
int naturalCompare(const QString& a, const QString& b)
{
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const qsizetype si = i, sj = j;
            while (i < a.size() && a[i].isDigit())
                ++i;
            while (j < b.size() && b[j].isDigit())
                ++j;
            const QStringView x = QStringView(a).mid(si, i - si), y = QStringView(b).mid(sj, j - sj);
            const qulonglong vx = x.toULongLong(), vy = y.toULongLong();
            if (vx != vy)
                return vx < vy ? -1 : 1;
            continue;
        }
        const QChar x = a[i].toCaseFolded(), y = b[j].toCaseFolded();
        if (x != y)
            return x < y ? -1 : 1;
        ++i;
        ++j;
    }
    return int(a.size() - i > 0) - int(b.size() - j > 0);
}

}  // namespace

DeviceSortModel::DeviceSortModel(QObject* parent) : QSortFilterProxyModel(parent)
{
    setSortRole(DeviceTableModel::SortRole);
    setDynamicSortFilter(true);
}

bool DeviceSortModel::naturalLess(const QString& a, const QString& b) const
{
    if (a.isEmpty() != b.isEmpty())
        return b.isEmpty();
    return naturalCompare(a, b) < 0;
}

bool DeviceSortModel::lessThan(const QModelIndex& left, const QModelIndex& right) const
{
    const QVariant a = left.data(sortRole());
    const QVariant b = right.data(sortRole());
    if (a.typeId() == QMetaType::QString && b.typeId() == QMetaType::QString)
        return naturalLess(a.toString(), b.toString());
    return QPartialOrdering::Less == QVariant::compare(a, b);
}

QMenu* columnMenu(QHeaderView* header, const std::function<void()>& changed)
{
    auto* menu = new QMenu(header);
    QAbstractItemModel* model = header->model();
    const int shown = header->count() - header->hiddenSectionCount();
    for (int section = 0; model && section < header->count(); ++section) {
        QAction* a = menu->addAction(model->headerData(section, Qt::Horizontal).toString());
        a->setCheckable(true);
        a->setChecked(!header->isSectionHidden(section));
        a->setEnabled(header->isSectionHidden(section) || shown > 1);
        QObject::connect(a, &QAction::toggled, header, [header, section, changed](bool on) {
            header->setSectionHidden(section, !on);
            changed();
        });
    }
    return menu;
}

void installColumnMenu(QHeaderView* header, std::function<void()> changed)
{
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(header, &QWidget::customContextMenuRequested, header, [header, changed](const QPoint& at) {
        QMenu* menu = columnMenu(header, changed);
        menu->setAttribute(Qt::WA_DeleteOnClose);
        menu->popup(header->mapToGlobal(at));
    });
}

}  // namespace kestrap::app
