#include "job/ProgressBoard.h"

namespace kestrap {

namespace {

QString unshared(const QString& text)
{
    return QString(text.constData(), text.size());
}

// The copy a reader keeps shares no string buffer with the record: the copying thread
// reassigns the record's texts many times a second, and a buffer shared across threads is
// released through counts inside the Qt library that thread checkers cannot see into.
ProgressRecord readersCopy(const ProgressRecord& record)
{
    ProgressRecord copy = record;
    copy.deviceid = unshared(record.deviceid);
    copy.current_file = unshared(record.current_file);
    copy.error = unshared(record.error);
    for (FileFailure& failure : copy.failed_files) {
        failure.path = unshared(failure.path);
        failure.cause = unshared(failure.cause);
    }
    return copy;
}

}  // namespace

ProgressBoard::Entry ProgressBoard::recordFor(const QString& deviceid)
{
    std::lock_guard list(m_listLock);
    // Ids never change once a record is made, so they are read without the record's lock.
    for (std::size_t i = 0; i < m_slots.size(); ++i)
        if (m_slots[i]->record->deviceid == deviceid)
            return Entry {m_slots[i], int(i), false};
    auto slot = std::make_shared<Slot>();
    slot->record->deviceid = deviceid;
    m_slots.push_back(slot);
    return Entry {slot, int(m_slots.size() - 1), true};
}

ProgressBoard::SlotPtr ProgressBoard::slotAt(int index) const
{
    std::lock_guard list(m_listLock);
    if (index < 0 || std::size_t(index) >= m_slots.size())
        return nullptr;
    return m_slots[std::size_t(index)];
}

ProgressRecord ProgressBoard::at(int index) const
{
    const SlotPtr slot = slotAt(index);
    if (!slot)
        return {};
    std::lock_guard record(slot->lock);
    return readersCopy(*slot->record);
}

int ProgressBoard::size() const
{
    std::lock_guard list(m_listLock);
    return int(m_slots.size());
}

std::vector<ProgressRecord> ProgressBoard::all() const
{
    std::vector<SlotPtr> copies;
    {
        std::lock_guard list(m_listLock);
        copies = m_slots;
    }
    std::vector<ProgressRecord> out;
    out.reserve(copies.size());
    for (const auto& slot : copies) {
        std::lock_guard record(slot->lock);
        out.push_back(readersCopy(*slot->record));
    }
    return out;
}

}  // namespace kestrap
