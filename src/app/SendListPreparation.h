#pragma once

#include "job/JobSettings.h"
#include "job/SendPlan.h"

#include <QObject>
#include <QTimer>
#include <memory>
#include <utility>
#include <vector>

namespace kestrap::app {

// Collects a job's send list on a worker of the global thread pool, so a walk of a big tree
// never holds the window. The worker gets a copy of the settings with file entries of its
// own: it never touches what the window reads. Sizes it measured for the listed entries are
// handed to them on the main thread, as a start from the window's thread leaves them.
//
// Destroying it drops the result; the walk ends on its own, on data it owns.
//
// Threading: make, use and destroy it on the main thread; its signals come there.
class SendListPreparation : public QObject {
    Q_OBJECT
public:
    explicit SendListPreparation(const JobSettings& settings, QObject* parent = nullptr);
    ~SendListPreparation() override;

    // Files met in folders so far.
    std::size_t found() const;

signals:
    // A few times a second while the walk goes on.
    void foundChanged(std::size_t found);
    // Once: the list, empty with its error when there is nothing to send.
    void ready(const kestrap::SendPlan& plan);

private:
    struct Walk;
    void finish();

    std::shared_ptr<Walk> m_walk;
    std::vector<std::pair<FileEntryPtr, FileEntryPtr>> m_listed;  // the job's entry, the worker's
    QTimer m_progress;
};

}  // namespace kestrap::app
