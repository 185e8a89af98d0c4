#pragma once

#include "job/Records.h"

#include <functional>
#include <mutex>
#include <vector>

namespace kestrap {

// The progress records of a job: one per device it ever served, found again by "deviceid"
// when the device is served again. Records are never removed, so an index names the same
// record for the life of the job.
//
// Threads: any. Every read and change of a record goes through the board's lock.
class ProgressBoard {
public:
    struct Entry {
        ProgressRecordPtr record;
        int index = -1;
        bool created = false;
    };

    // The record of that device, made and appended when it has none yet.
    Entry recordFor(const QString& deviceid);
    // Changes a record under the board's lock.
    void update(const ProgressRecordPtr& record, const std::function<void(ProgressRecord&)>& change);

    // A copy of the record at index; an empty record for an index outside the board.
    ProgressRecord at(int index) const;
    int size() const;
    std::vector<ProgressRecord> all() const;

private:
    mutable std::mutex m_lock;  // guards m_records and every record in it
    std::vector<ProgressRecordPtr> m_records;
};

}  // namespace kestrap
