#include "job/JobEvents.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <sys/eventfd.h>
#include <unistd.h>
#include <utility>

namespace kestrap {

JobEvents::JobEvents(QObject* parent) : QObject(parent)
{
    m_heldBackTimer.setSingleShot(true);
    m_heldBackTimer.setInterval(kProgressInterval);
    connect(&m_heldBackTimer, &QTimer::timeout, this, &JobEvents::deliverHeldBack);
    m_wakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_wakeFd < 0)
        qFatal("JobEvents: no eventfd: %s", strerror(errno));
    m_wake = new QSocketNotifier(m_wakeFd, QSocketNotifier::Read, this);
    connect(m_wake, &QSocketNotifier::activated, this, [this] {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto n = ::read(m_wakeFd, &count, sizeof count);
        deliver();
    });
}

JobEvents::~JobEvents()
{
    delete m_wake;
    ::close(m_wakeFd);
    for (Node* n = m_posted.exchange(nullptr); n;)
        delete std::exchange(n, n->next);
}

void JobEvents::postRowStatus(const DeviceRowPtr& row, int status, bool finished)
{
    post(Event {Kind::RowStatus, status, finished, row, {}, {}});
}

void JobEvents::postStatusMessage(const QString& message)
{
    post(Event {Kind::StatusMessage, 0, false, nullptr, message, {}});
}

void JobEvents::setProgressInterval(std::chrono::milliseconds interval)
{
    m_progressInterval = std::max(interval, std::chrono::milliseconds(0));
    m_heldBackTimer.setInterval(std::max(m_progressInterval, std::chrono::milliseconds(1)));
}

void JobEvents::postProgressAdded(int index)
{
    post(Event {Kind::ProgressAdded, index, false, nullptr, {}, {}});
}

bool JobEvents::postProgress(int index, const std::shared_ptr<std::atomic<bool>>& posted)
{
    if (posted->exchange(true))
        return false;  // one waits already, and it will show the newest value
    post(Event {Kind::Progress, index, false, nullptr, {}, posted});
    return true;
}

void JobEvents::postFinalProgress(int index)
{
    post(Event {Kind::FinalProgress, index, false, nullptr, {}, {}});
}

void JobEvents::post(Event event)
{
    auto* node = new Node {std::move(event)};
    node->next = m_posted.load(std::memory_order_relaxed);
    while (!m_posted.compare_exchange_weak(node->next, node, std::memory_order_release, std::memory_order_relaxed)) { }
    if (!m_scheduled.exchange(true)) {
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(m_wakeFd, &one, sizeof one);
    }
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
            deliverProgress(e.number, false, e.posted);
            break;
        case Kind::FinalProgress:
            deliverProgress(e.number, true, nullptr);
            break;
        }
    }
}

void JobEvents::deliverProgress(int index, bool now, const PostedFlag& posted)
{
    const auto t = Clock::now();
    auto& last = m_lastProgress[index];
    if (!now && t - last < m_progressInterval) {
        // The flag stays set: the copy's reports until then are read by this delivery.
        if (posted)
            m_heldBack[index] = posted;
        if (!m_heldBackTimer.isActive())
            m_heldBackTimer.start();
        return;
    }
    // Cleared before the record is read, so a change made from now on posts again.
    if (const auto held = m_heldBack.extract(index); held && held.mapped())
        held.mapped()->store(false);
    if (posted)
        posted->store(false);
    last = t;
    emit progress(index);
}

void JobEvents::deliverHeldBack()
{
    // Taken whole: what is still inside its interval is held back again.
    const auto held = std::exchange(m_heldBack, {});
    for (const auto& [index, posted] : held)
        deliverProgress(index, false, posted);
}

void JobEvents::drain()
{
    deliver();
    const auto held = std::exchange(m_heldBack, {});
    m_heldBackTimer.stop();
    for (const auto& [index, posted] : held)
        deliverProgress(index, true, posted);
}

}  // namespace kestrap
