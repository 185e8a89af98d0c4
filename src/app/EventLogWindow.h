#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>

class QComboBox;
class QFileSystemWatcher;
class QLineEdit;
class QSortFilterProxyModel;
class QTableView;

namespace kestrap {
class DBLogReader;
}

namespace kestrap::app {

class EventLogModel;

// The event log: the newest 3000 entries, oldest first, followed while the window is open
// (the oldest leave as new ones come, so it never holds more).
// Any change in the log folder starts a 3 s timer; when it fires the entries later than the
// last one shown are appended, so a burst of writes costs one query. Closing forgets the
// entries; showing a closed window loads afresh, showing an open one only raises it (a
// second load would show every entry twice). A level filter and a search box narrow what is
// shown; Copy puts the selected rows on the clipboard as tab-separated lines.
//
// Threading: main thread only.
class EventLogWindow : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxRows = 3000;
    static constexpr int kCoalesceMs = 3000;

    // An empty folder means the default log folder.
    explicit EventLogWindow(const QString& logDirectory = {}, QWidget* parent = nullptr);
    ~EventLogWindow() override;

    void show();
    // Appends the entries later than the last one shown (all newest when none is shown).
    void refreshLogging();

    EventLogModel* model() const { return m_model; }
    // What the table shows: the model's rows that pass the filters.
    QSortFilterProxyModel* shownModel() const { return m_shown; }
    QTableView* table() const { return m_table; }
    QComboBox* levelFilter() const { return m_level; }
    QLineEdit* searchField() const { return m_search; }
    // The selected rows, one tab-separated line each, also put on the clipboard.
    QString copySelection() const;
    bool isMonitoring() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void startMonitoring();
    void stopMonitoring();
    void scrollToNewest();

    std::unique_ptr<DBLogReader> m_reader;
    EventLogModel* m_model;
    QSortFilterProxyModel* m_shown;
    QTableView* m_table;
    QComboBox* m_level;
    QLineEdit* m_search;
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer m_coalesce;
};

}  // namespace kestrap::app
