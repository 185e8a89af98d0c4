#include "device/ios/imd/ImdSubscription.h"

#include "device/ios/imd/ImdMobileDeviceService.h"
#include "device/ios/imd/ImdState.h"

#include <utility>

namespace kestrap::imd {

ImdSubscription::ImdSubscription(ImdMobileDeviceService* service, AMDeviceNotificationCallback callback,
    std::size_t cursor, std::vector<AMDeviceRef> present)
    : m_service(service), m_callback(std::move(callback)), m_cursor(cursor), m_present(std::move(present))
{
}

void ImdSubscription::post()
{
    QMetaObject::invokeMethod(
        this, [this] { drain(); }, Qt::QueuedConnection);
}

void ImdSubscription::drain()
{
    // Each record owed is held until its callback has returned: another subscription may
    // take the last announcement of it meanwhile.
    std::vector<std::pair<AMDeviceRef, std::int32_t>> owed;
    std::vector<AMDeviceRef> held = std::move(m_present);
    m_present.clear();
    for (AMDeviceRef device : held)
        owed.emplace_back(device, AMDeviceMessageConnected);
    {
        std::lock_guard guard(m_service->m_devicesLock);
        const auto& events = m_service->m_events;
        for (; m_cursor < m_service->m_eventsBase + events.size(); ++m_cursor) {
            const auto& event = events[m_cursor - m_service->m_eventsBase];
            m_service->holdLocked(event.first);
            owed.emplace_back(event);
            held.push_back(event.first);
        }
    }
    // The callback may unsubscribe; the object lives until this delivery has ended.
    ++m_delivering;
    for (const auto& [device, message] : owed) {
        if (m_cancelled)
            break;
        m_callback({device, message});
    }
    m_service->delivered(held);
    --m_delivering;
    if (m_cancelled && m_delivering == 0)
        deleteLater();
}

void ImdSubscription::cancel()
{
    m_cancelled = true;
    if (!m_present.empty())
        m_service->delivered(std::exchange(m_present, {}));
    if (m_delivering == 0)
        delete this;
}

}  // namespace kestrap::imd

namespace kestrap::imd {

ImdNotReadyWatch::ImdNotReadyWatch(ImdMobileDeviceService* service, std::function<void()> changed)
    : m_service(service), m_changed(std::move(changed))
{
}

void ImdNotReadyWatch::post()
{
    QMetaObject::invokeMethod(
        this, [this] { look(); }, Qt::QueuedConnection);
}

void ImdNotReadyWatch::look()
{
    if (m_cancelled)
        return;
    std::vector<NotReadyDevice> now = m_service->devicesNotReady();
    // The service posts at every change of a device's stage; most change nothing here.
    if (now == m_told)
        return;
    m_told = std::move(now);
    ++m_delivering;
    m_changed();
    --m_delivering;
    if (m_cancelled && m_delivering == 0)
        deleteLater();
}

void ImdNotReadyWatch::cancel()
{
    m_cancelled = true;
    if (m_delivering == 0)
        delete this;
}

}  // namespace kestrap::imd
