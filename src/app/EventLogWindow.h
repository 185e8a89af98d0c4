#pragma once

#include <QTimer>
#include <QWidget>
#include <memory>

class QFileSystemWatcher;
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
// second load would show every entry twice).
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
    bool isMonitoring() const;

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void startMonitoring();
    void stopMonitoring();
    void scrollToNewest();

    std::unique_ptr<DBLogReader> m_reader;
    EventLogModel* m_model;
    QTableView* m_table;
    QFileSystemWatcher* m_watcher = nullptr;
    QTimer m_coalesce;
};

}  // namespace kestrap::app
