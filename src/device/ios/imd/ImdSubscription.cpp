#include "device/ios/imd/ImdSubscription.h"

#include "device/ios/imd/ImdMobileDeviceService.h"
#include "device/ios/imd/ImdState.h"

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
    std::vector<std::pair<AMDeviceRef, std::int32_t>> owed;
    for (AMDeviceRef device : m_present)
        owed.emplace_back(device, AMDeviceMessageConnected);
    m_present.clear();
    {
        std::lock_guard guard(m_service->m_devicesLock);
        for (; m_cursor < m_service->m_events.size(); ++m_cursor)
            owed.emplace_back(m_service->m_events[m_cursor]);
    }
    // The callback may unsubscribe; the object lives until this delivery has ended.
    ++m_delivering;
    for (const auto& [device, message] : owed) {
        if (m_cancelled)
            break;
        m_callback({device, message});
    }
    --m_delivering;
    if (m_cancelled && m_delivering == 0)
        deleteLater();
}

void ImdSubscription::cancel()
{
    m_cancelled = true;
    if (m_delivering == 0)
        delete this;
}

}  // namespace kestrap::imd
