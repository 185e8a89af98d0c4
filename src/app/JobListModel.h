#pragma once

#include "job/JobDocument.h"

#include <QAbstractTableModel>

namespace kestrap::app {

// A table over one of the document's lists that follows its changes row by row, so a view keeps
// its selection and scroll position; only a list replaced as a whole resets it.
class JobListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;

protected:
    // Called from the document's "about to change" and "changed" signals of the list.
    void beginChange(const ListChange& change);
    void endChange(const ListChange& change);
};

}  // namespace kestrap::app
