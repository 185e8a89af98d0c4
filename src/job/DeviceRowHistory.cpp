#include "job/DeviceRowHistory.h"

#include "job/DeviceRoster.h"

namespace kestrap {

DeviceRowHistory::DeviceRowHistory(DeviceRoster& roster)
{
    connect(&roster, &DeviceRoster::rowAdded, this, [this, &roster](int index) {
        releaseUnheldDevices();
        m_holdingDevices.push_back(m_rows.size());
        m_rows.push_back(roster.rows()[std::size_t(index)]);
    });
    connect(&roster, &DeviceRoster::rowRemoved, this, [this](int) { releaseUnheldDevices(); });
}

void DeviceRowHistory::releaseUnheldDevices()
{
    // Held by this list alone, a row can change no more: nobody else can reach it.
    std::erase_if(m_holdingDevices, [this](std::size_t i) {
        DeviceRowPtr& row = m_rows[i];
        if (row.use_count() > 1)
            return false;
        row->device.reset();
        return true;
    });
}

}  // namespace kestrap
