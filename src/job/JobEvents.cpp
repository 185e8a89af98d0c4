#include "job/JobEvents.h"

namespace kestrap {

JobEvents::JobEvents(QObject* parent) : QObject(parent)
{
    m_heldBackTimer.setSingleShot(true);
    m_heldBackTimer.setInterval(kProgressInterval);
    connect(&m_heldBackTimer, &QTimer::timeout, this, &JobEvents::deliverHeldBack);
}

void JobEvents::postRowStatus(const DeviceRowPtr& row, int status, bool finished)
{
    post(Event {Kind::RowStatus, status, finished, row, {}});
}

void JobEvents::postStatusMessage(const QString& message)
{
    post(Event {Kind::StatusMessage, 0, false, nullptr, message});
}

void JobEvents::postProgressAdded(int index)
{
    post(Event {Kind::ProgressAdded, index, false, nullptr, {}});
}

void JobEvents::postProgress(int index)
{
    post(Event {Kind::Progress, index, false, nullptr, {}});
}

void JobEvents::post(Event event)
{
    std::lock_guard guard(m_lock);
    if (event.kind == Kind::Progress && !m_progressQueued.insert(event.number).second)
        return;  // one waits already, and it will show the newest value
    m_events.push_back(std::move(event));
    if (m_scheduled)
        return;
    m_scheduled = true;
    QMetaObject::invokeMethod(this, &JobEvents::deliver, Qt::QueuedConnection);
}

void JobEvents::deliver()
{
    std::deque<Event> events;
    {
        std::lock_guard guard(m_lock);
        events.swap(m_events);
        m_progressQueued.clear();
        m_scheduled = false;
    }
    for (const Event& e : events) {
        switch (e.kind) {
        case Kind::RowStatus:
            emit rowStatus(e.row, e.number, e.finished);
            break;
        case Kind::StatusMessage:
            emit statusMessage(e.text);
            break;
        case Kind::ProgressAdded:
            m_lastProgress[e.number] = Clock::now();
            emit progressAdded(e.number);
            break;
        case Kind::Progress:
            deliverProgress(e.number, false);
            break;
        }
    }
}

void JobEvents::deliverProgress(int index, bool now)
{
    const auto t = Clock::now();
    auto& last = m_lastProgress[index];
    if (!now && t - last < kProgressInterval) {
        m_heldBack.insert(index);
        if (!m_heldBackTimer.isActive())
            m_heldBackTimer.start();
        return;
    }
    m_heldBack.erase(index);
    last = t;
    emit progress(index);
}

void JobEvents::deliverHeldBack()
{
    const std::set<int> held = m_heldBack;
    for (int index : held)
        deliverProgress(index, false);
}

void JobEvents::drain()
{
    deliver();
    const std::set<int> held = std::exchange(m_heldBack, {});
    m_heldBackTimer.stop();
    for (int index : held)
        deliverProgress(index, true);
}

}  // namespace kestrap
