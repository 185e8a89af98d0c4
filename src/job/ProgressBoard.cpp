#include "job/ProgressBoard.h"

namespace kestrap {

ProgressBoard::Entry ProgressBoard::recordFor(const QString& deviceid)
{
    std::lock_guard guard(m_lock);
    for (std::size_t i = 0; i < m_records.size(); ++i)
        if (m_records[i]->deviceid == deviceid)
            return Entry {m_records[i], int(i), false};
    auto record = std::make_shared<ProgressRecord>();
    record->deviceid = deviceid;
    m_records.push_back(record);
    return Entry {record, int(m_records.size() - 1), true};
}

void ProgressBoard::update(const ProgressRecordPtr& record, const std::function<void(ProgressRecord&)>& change)
{
    std::lock_guard guard(m_lock);
    change(*record);
}

ProgressRecord ProgressBoard::at(int index) const
{
    std::lock_guard guard(m_lock);
    if (index < 0 || std::size_t(index) >= m_records.size())
        return {};
    return *m_records[std::size_t(index)];
}

int ProgressBoard::size() const
{
    std::lock_guard guard(m_lock);
    return int(m_records.size());
}

std::vector<ProgressRecord> ProgressBoard::all() const
{
    std::lock_guard guard(m_lock);
    std::vector<ProgressRecord> out;
    out.reserve(m_records.size());
    for (const auto& r : m_records)
        out.push_back(*r);
    return out;
}

}  // namespace kestrap
