#include "device/ipod/MountMonitor.h"

#include <QAbstractEventDispatcher>
#include <QFile>
#include <QSocketNotifier>
#include <algorithm>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace kestrap {

namespace {

// Mount points in the table escape space, tab, newline and backslash as "\ooo".
QString unescape(const QByteArray& field)
{
    QByteArray out;
    out.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3'
            && field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out += char((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            out += field[i];
        }
    }
    return QFile::decodeName(out);
}

}  // namespace

ProcMountMonitor::ProcMountMonitor(const QString& tablePath) : m_tablePath(tablePath) { }

ProcMountMonitor::~ProcMountMonitor()
{
    m_notifier.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

QStringList ProcMountMonitor::start(Listener listener)
{
    m_listener = std::move(listener);
    // The kernel marks an open mount table with POLLPRI after every change; a file without
    // that (a test's own table) is rescanned by hand.
    m_fd = ::open(QFile::encodeName(m_tablePath).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd >= 0 && QAbstractEventDispatcher::instance()) {
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Exception);
        connect(m_notifier.get(), &QSocketNotifier::activated, this, [this] { rescan(); });
    }
    m_known = readTable();
    QStringList paths;
    for (const Mount& m : m_known)
        paths << m.mountPoint;
    return paths;
}

void ProcMountMonitor::rescan()
{
    const std::vector<Mount> now = readTable();
    const std::vector<Mount> before = std::exchange(m_known, now);
    // A different device at a known mount point is an unmount followed by a mount.
    for (const Mount& m : before)
        if (std::find(now.begin(), now.end(), m) == now.end() && m_listener.unmounted)
            m_listener.unmounted(m.mountPoint);
    for (const Mount& m : now)
        if (std::find(before.begin(), before.end(), m) == before.end() && m_listener.mounted)
            m_listener.mounted(m.mountPoint);
}

std::vector<ProcMountMonitor::Mount> ProcMountMonitor::readTable() const
{
    QFile file(m_tablePath);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return parseMountInfo(file.readAll());
}

std::vector<ProcMountMonitor::Mount> ProcMountMonitor::parseMountInfo(const QByteArray& text)
{
    // id parent major:minor root mount-point options [optional fields...] - type source super-options
    std::vector<Mount> mounts;
    for (const QByteArray& line : text.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 10)
            continue;
        qsizetype separator = -1;
        for (qsizetype i = 6; i < fields.size(); ++i) {
            if (fields[i] == "-") {
                separator = i;
                break;
            }
        }
        if (separator < 0 || separator + 2 >= fields.size() || !fields[separator + 2].startsWith("/dev/"))
            continue;
        Mount mount {unescape(fields[4]), QString::fromLatin1(fields[2])};
        auto same = std::find_if(
            mounts.begin(), mounts.end(), [&](const Mount& m) { return m.mountPoint == mount.mountPoint; });
        if (same != mounts.end())
            same->device = mount.device;
        else
            mounts.push_back(mount);
    }
    return mounts;
}

}  // namespace kestrap
