#pragma once

#include "job/Records.h"

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <vector>

namespace kestrap::app {

// How the servings that ended since the last summary went, for the message shown when a run
// has served every device it was given: counts, and one line per device that did not get
// everything, with its cause.
struct RunSummary {
    int finished = 0;  // every file sent or unchanged
    int incomplete = 0;  // finished, but some files failed
    int failed = 0;
    int cancelled = 0;
    int excluded = 0;  // connected devices the job leaves out
    // "iPhone 5: Failed: app not installed"; under a device's line, indented, the files it did
    // not get with their causes ("    /data/a.pdf: no space left on the device").
    QStringList problems;

    bool isEmpty() const { return finished + incomplete + failed + cancelled == 0; }
    // "3 devices finished, 1 failed, 2 skipped."
    QString headline() const;
};

// Keeps which servings were summarized already, so each ending is told once.
//
// Threading: the thread that owns the job's records (the main thread).
class RunSummarizer {
public:
    using NameOf = std::function<QString(const QString& uid)>;

    // Takes the records that ended since the last call (by device and end time).
    RunSummary summarize(const std::vector<ProgressRecord>& records, const NameOf& nameOf, int excluded);
    void reset() { m_told.clear(); }

private:
    std::map<QString, double> m_told;  // device uid -> end time of the serving last told
};

}  // namespace kestrap::app
