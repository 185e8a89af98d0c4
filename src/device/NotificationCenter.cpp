#include "device/NotificationCenter.h"

#include <algorithm>

namespace kestrap {

NotificationCenter& NotificationCenter::defaultCenter()
{
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString& name, Observer observer)
{
    std::lock_guard guard(m_lock);
    const Token token = m_nextToken++;
    m_entries.push_back({token, name, std::make_shared<Observer>(std::move(observer))});
    return token;
}

void NotificationCenter::removeObserver(Token token)
{
    std::lock_guard guard(m_lock);
    std::erase_if(m_entries, [token](const Entry& e) { return e.token == token; });
}

void NotificationCenter::post(const QString& name, const std::shared_ptr<iMobileDevice>& device)
{
    // Observers run without the lock held, so they may post or (un)register themselves.
    std::vector<std::shared_ptr<Observer>> targets;
    {
        std::lock_guard guard(m_lock);
        for (const Entry& e : m_entries)
            if (e.name == name)
                targets.push_back(e.observer);
    }
    const DeviceNotification note {name, device};
    for (const auto& observer : targets)
        (*observer)(note);
}

}  // namespace kestrap
