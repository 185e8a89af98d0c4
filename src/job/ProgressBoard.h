#pragma once

#include "job/Records.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrap {

// The progress records of a job: one per device it ever served, found again by "deviceid"
// when the device is served again. Records are never removed, so an index names the same
// record for the life of the job.
//
// Threads: any. Each record has a lock of its own, so copies serving different devices never
// wait for each other; the list has one more, taken alone and only to find or add a record.
class ProgressBoard {
public:
    struct Slot {
        std::mutex lock;  // guards record
        ProgressRecordPtr record = std::make_shared<ProgressRecord>();
        // Set while a progress event of this record waits for the job's thread.
        std::shared_ptr<std::atomic<bool>> progressPosted = std::make_shared<std::atomic<bool>>(false);
    };
    using SlotPtr = std::shared_ptr<Slot>;

    struct Entry {
        SlotPtr slot;
        int index = -1;
        bool created = false;
    };

    // A record held for changing: its lock is held while this lives.
    class Edit {
    public:
        explicit Edit(Slot& slot) : m_guard(slot.lock), m_record(*slot.record) { }
        ProgressRecord* operator->() { return &m_record; }
        ProgressRecord& operator*() { return m_record; }

    private:
        std::lock_guard<std::mutex> m_guard;
        ProgressRecord& m_record;
    };

    // The record of that device, made and appended when it has none yet.
    Entry recordFor(const QString& deviceid);

    // A copy of the record at index; an empty record for an index outside the board.
    ProgressRecord at(int index) const;
    int size() const;
    std::vector<ProgressRecord> all() const;

private:
    SlotPtr slotAt(int index) const;

    mutable std::mutex m_listLock;  // guards m_slots (not the records)
    std::vector<SlotPtr> m_slots;
};

}  // namespace kestrap

Q_DECLARE_METATYPE(kestrap::ProgressBoard::SlotPtr)
