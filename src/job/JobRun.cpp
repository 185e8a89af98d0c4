#include "job/JobRun.h"

#include <algorithm>

namespace kestrap {

void JobRun::setPaused(bool paused)
{
    std::lock_guard pause(m_pauseLock);
    m_isPaused = paused;
    m_pauseCondition.notify_all();
}

bool JobRun::isPaused() const
{
    std::lock_guard pause(m_pauseLock);
    return m_isPaused;
}

void JobRun::waitWhilePaused()
{
    std::unique_lock pause(m_pauseLock);
    m_pauseCondition.wait(pause, [this] { return !m_isPaused || stopping; });
}

void JobRun::wakeForStop()
{
    std::lock_guard pause(m_pauseLock);
    m_pauseCondition.notify_all();
}

void JobRun::addDone(const DeviceRowPtr& row)
{
    std::lock_guard done(m_doneLock);
    if (std::none_of(
            m_doneDevices.begin(), m_doneDevices.end(), [&](const DeviceRowPtr& r) { return r->uid == row->uid; }))
        m_doneDevices.push_back(row);
}

std::vector<DeviceRowPtr> JobRun::doneDevices() const
{
    std::lock_guard done(m_doneLock);
    return m_doneDevices;
}

}  // namespace kestrap
