#pragma once

#include <QObject>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace kestrap {

// Where the iPod detector learns which volumes are mounted and when that changes.
//
// Threads: start() and the destructor are called on the thread that owns the monitor (the
// main thread in the application), and the listener is called on that same thread.
class MountMonitor {
public:
    struct Listener {
        std::function<void(const QString& mountPath)> mounted;
        std::function<void(const QString& mountPath)> unmounted;
    };

    virtual ~MountMonitor() = default;
    // Begins watching; answers the mount points of the volumes mounted now, in table order.
    // Changes after that reach the listener.
    virtual QStringList start(Listener listener) = 0;
};

// The kernel's mount table of this process, /proc/self/mountinfo. Only volumes backed by a
// device under /dev count (network and memory file systems are never looked into). The
// kernel flags the open table as changed to poll() (POLLPRI), which a socket notifier of
// the owning thread's event loop turns into a rescan within moments of a mount or unmount.
class ProcMountMonitor : public QObject, public MountMonitor {
    Q_OBJECT
public:
    explicit ProcMountMonitor(const QString& tablePath = QStringLiteral("/proc/self/mountinfo"));
    ~ProcMountMonitor() override;

    QStringList start(Listener listener) override;
    // Reads the table again and reports what changed since the last reading. Called by the
    // change notifier; tests call it after rewriting a table file of their own.
    void rescan();

    struct Mount {
        QString mountPoint;
        QString device;  // "major:minor"
        bool operator==(const Mount&) const = default;
    };
    // The device-backed volumes of a mountinfo text, in order, with the table's octal
    // escapes ("\040" for a space) decoded. A mount point listed again (a volume mounted
    // over another) appears once, with the device of its last line, the one visible there.
    static std::vector<Mount> parseMountInfo(const QByteArray& text);

private:
    std::vector<Mount> readTable() const;

    QString m_tablePath;
    int m_fd = -1;
    std::unique_ptr<QSocketNotifier> m_notifier;
    Listener m_listener;
    std::vector<Mount> m_known;
};

}  // namespace kestrap
