#pragma once

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// kestrap-devicefarm serving a farm on a socket of its own. Killed when the object goes,
// whatever the test did. Suites using it are built with KESTRAP_DEVICEFARM_PATH, the program.
class DeviceEmulator {
public:
    explicit DeviceEmulator(QString farm, QStringList options = {})
        : m_farm(std::move(farm)), m_options(std::move(options))
    {
    }
    ~DeviceEmulator() { kill(); }

    QString socketPath() const { return m_dir.filePath(QStringLiteral("usbmuxd")); }
    // What USBMUXD_SOCKET_ADDRESS must hold for a libimobiledevice program to reach it.
    QString address() const { return QStringLiteral("UNIX:") + socketPath(); }

    // Starts the emulator and waits until it answers on its socket.
    bool start()
    {
        m_process.start(QStringLiteral(KESTRAP_DEVICEFARM_PATH),
            QStringList {m_farm, QStringLiteral("--socket"), socketPath()} + m_options);
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            if (answers())
                return true;
            if (m_process.state() == QProcess::NotRunning)
                return false;
            QThread::msleep(10);
        }
        return false;
    }

    // Ends it as an operator would; answers what it said on its way out.
    QByteArray stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return {};
        m_process.terminate();
        m_process.waitForFinished(10000);
        return m_process.readAllStandardError();
    }

    // Ends it at once, as a crash would: no goodbye to any client.
    void kill()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGKILL);
        m_process.waitForFinished(5000);
    }

private:
    bool answers() const
    {
        const QByteArray path = QFile::encodeName(socketPath());
        sockaddr_un address {};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.constData(), std::size_t(path.size()));
        const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return ok;
    }

    QTemporaryDir m_dir;
    QString m_farm;
    QStringList m_options;
    QProcess m_process;
};
