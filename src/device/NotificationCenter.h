#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace kestrap {

class iMobileDevice;

inline const QString msgNewPhoneConnected = QStringLiteral("msgNewPhoneConnected");
inline const QString msgPhoneDisconnected = QStringLiteral("msgPhoneDisconnected");
inline const QString msgNewPodConnected = QStringLiteral("msgNewPodConnected");
inline const QString msgPodDisconnected = QStringLiteral("msgPodDisconnected");

// The payload of the device notifications: one entry, "device".
struct DeviceNotification {
    QString name;
    std::shared_ptr<iMobileDevice> device;
};

// Process-wide, synchronous notifications: post() calls every observer of the name on the
// posting thread before it returns. Observers may be added and removed from any thread,
// also from inside a delivery; a delivery already under way still reaches the observers
// that were registered when it began.
class NotificationCenter {
public:
    using Observer = std::function<void(const DeviceNotification&)>;
    using Token = std::uint64_t;

    static NotificationCenter& defaultCenter();

    Token addObserver(const QString& name, Observer observer);
    void removeObserver(Token token);
    void post(const QString& name, const std::shared_ptr<iMobileDevice>& device);

private:
    struct Entry {
        Token token;
        QString name;
        std::shared_ptr<Observer> observer;
    };
    std::mutex m_lock;  // guards m_entries and m_nextToken
    std::vector<Entry> m_entries;
    Token m_nextToken = 1;
};

}  // namespace kestrap
