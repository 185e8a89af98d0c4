#include "job/JobEvents.h"

#include <utility>

namespace kestrap {

JobEvents::JobEvents(QObject* parent) : QObject(parent)
{
    m_heldBackTimer.setSingleShot(true);
    m_heldBackTimer.setInterval(kProgressInterval);
    connect(&m_heldBackTimer, &QTimer::timeout, this, &JobEvents::deliverHeldBack);
}

JobEvents::~JobEvents()
{
    for (Node* n = m_posted.exchange(nullptr); n;)
        delete std::exchange(n, n->next);
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

void JobEvents::postProgress(int index, const std::shared_ptr<std::atomic<bool>>& posted)
{
    if (posted->exchange(true))
        return;  // one waits already, and it will show the newest value
    post(Event {Kind::Progress, index, false, nullptr, {}, posted});
}

void JobEvents::postFinalProgress(int index)
{
    post(Event {Kind::FinalProgress, index, false, nullptr, {}});
}

void JobEvents::post(Event event)
{
    auto* node = new Node {std::move(event)};
    node->next = m_posted.load(std::memory_order_relaxed);
    while (!m_posted.compare_exchange_weak(node->next, node, std::memory_order_release, std::memory_order_relaxed)) { }
    if (!m_scheduled.exchange(true))
        QMetaObject::invokeMethod(this, &JobEvents::deliver, Qt::QueuedConnection);
}

void JobEvents::deliver()
{
    // Cleared before the events are taken: whatever is posted from here on asks again.
    m_scheduled = false;
    Node* newestFirst = m_posted.exchange(nullptr, std::memory_order_acquire);
    Node* oldestFirst = nullptr;
    while (newestFirst)
        oldestFirst = std::exchange(newestFirst, std::exchange(newestFirst->next, oldestFirst));
    while (oldestFirst) {
        const std::unique_ptr<Node> node(std::exchange(oldestFirst, oldestFirst->next));
        const Event& e = node->event;
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
            // Cleared before the record is read, so a change made from now on posts again.
            e.posted->store(false);
            deliverProgress(e.number, false);
            break;
        case Kind::FinalProgress:
            deliverProgress(e.number, true);
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
