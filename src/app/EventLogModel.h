#pragma once

#include "logging/DBLogReader.h"

#include <QAbstractTableModel>
#include <vector>

namespace kestrap::app {

// The entries the event log window shows, in order: level text (warnings and errors in their
// colour), date, message.
class EventLogModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { Level, Date, Message, ColumnCount };

    // At most maxRows entries are kept (0: no bound); appending beyond drops the oldest.
    explicit EventLogModel(int maxRows = 0, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    // Appends at the end, as one insertion, after removing the oldest rows over the bound.
    void append(std::vector<DBLogEntry> entries);
    void clear();
    const std::vector<DBLogEntry>& entries() const { return m_entries; }

private:
    int m_maxRows;
    std::vector<DBLogEntry> m_entries;
};

}  // namespace kestrap::app
