#pragma once

#include <QString>

namespace kestrap::app {

// Tells the person at the desktop something while the window is in the background. Sending
// never waits and never fails aloud: without a notification service nothing happens.
//
// Threading: main thread only.
class DesktopNotifier {
public:
    virtual ~DesktopNotifier() = default;
    virtual void notify(const QString& summary, const QString& body) = 0;
};

// Through the freedesktop notification service (org.freedesktop.Notifications Notify) on the
// session bus; the call is sent without waiting for its answer.
class DBusNotifier : public DesktopNotifier {
public:
    void notify(const QString& summary, const QString& body) override;
};

}  // namespace kestrap::app
