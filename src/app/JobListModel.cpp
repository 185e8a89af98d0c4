#include "app/JobListModel.h"

namespace kestrap::app {

void JobListModel::beginChange(const ListChange& change)
{
    switch (change.kind) {
    case ListChange::Insert:
        beginInsertRows({}, change.first, change.last);
        break;
    case ListChange::Remove:
        beginRemoveRows({}, change.first, change.last);
        break;
    case ListChange::Reset:
        beginResetModel();
        break;
    }
}

void JobListModel::endChange(const ListChange& change)
{
    switch (change.kind) {
    case ListChange::Insert:
        endInsertRows();
        break;
    case ListChange::Remove:
        endRemoveRows();
        break;
    case ListChange::Reset:
        endResetModel();
        break;
    }
}

}  // namespace kestrap::app
