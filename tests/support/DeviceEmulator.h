#pragma once

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>
#ifdef KESTRAP_EMULATOR_FAILS_THE_TEST
#include <gtest/gtest.h>
#endif

// Where an emulator that ended while in use is told: the test fails; a benchmark says so.
inline void reportEmulatorEnded(const std::string& text)
{
#ifdef KESTRAP_EMULATOR_FAILS_THE_TEST
    ADD_FAILURE() << text;
#else
    std::fprintf(stderr, "%s\n", text.c_str());
#endif
}

// kestrap-devicefarm serving a farm on a socket of its own. Killed when the object goes,
// whatever the test did. Suites using it are built with KESTRAP_DEVICEFARM_PATH, the program.
class DeviceEmulator {
public:
    explicit DeviceEmulator(QString farm, QStringList options = {})
        : m_farm(std::move(farm)), m_options(std::move(options))
    {
    }
    // An emulator that ended on its own took every device with it, and whatever its user
    // then waited for never came: what it said (a sanitizer's report, say) is the failure.
    ~DeviceEmulator()
    {
        int status = 0;
        if (m_pid > 0 && ::waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            const std::string how = WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                                        : "exit status " + std::to_string(WEXITSTATUS(status));
            reportEmulatorEnded(
                "kestrap-devicefarm ended while in use (" + how + "), saying:\n" + drainStderr().toStdString());
        }
        kill();
    }

    QString socketPath() const { return m_dir.filePath(QStringLiteral("usbmuxd")); }
    // What USBMUXD_SOCKET_ADDRESS must hold for a libimobiledevice program to reach it.
    QString address() const { return QStringLiteral("UNIX:") + socketPath(); }

    // Starts the emulator and waits until it answers on its socket. A plain fork: QProcess
    // starts children in the parent's memory until they run, which ThreadSanitizer cannot
    // follow, and the suites using this run under it.
    bool start()
    {
        // At the tests' own priority: in a loaded run of sanitized tests, an emulator ten levels
        // down waits behind the other tests' work for longer than libusbmuxd waits for an
        // answer (5 s), and its devices look gone. The options given come after: a later
        // --nice wins.
        std::vector<QByteArray> args {QByteArray(KESTRAP_DEVICEFARM_PATH), QFile::encodeName(m_farm),
            QByteArray("--socket"), QFile::encodeName(socketPath()), QByteArray("--nice"), QByteArray("0")};
        for (const QString& o : m_options)
            args.push_back(o.toLocal8Bit());
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (::pipe2(m_stderr, O_CLOEXEC) != 0)
            return false;
        m_pid = ::fork();
        if (m_pid == 0) {
            // A test that dies takes its emulator with it.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(m_stderr[1], 2);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        ::close(m_stderr[1]);
        const QDeadlineTimer deadline(10000);
        while (!deadline.hasExpired()) {
            if (answers())
                return true;
            if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
                m_pid = -1;
                m_said = drainStderr();
                return false;
            }
            QThread::msleep(10);
        }
        return false;
    }

    // Ends it as an operator would; answers what it said on its way out.
    QByteArray stop() { return end(SIGTERM); }

    // Sends SIGTERM and answers whether it ended within the time (if not, it is killed when
    // the object goes).
    bool stopWithin(int ms)
    {
        if (m_pid <= 0)
            return true;
        ::kill(m_pid, SIGTERM);
        const QDeadlineTimer deadline(ms);
        while (::waitpid(m_pid, nullptr, WNOHANG) != m_pid) {
            if (deadline.hasExpired())
                return false;
            QThread::msleep(5);
        }
        m_pid = -1;
        m_said = drainStderr();
        return true;
    }

    pid_t pid() const { return m_pid; }
    // What it said when it ended on its own (a start refused) or by stopWithin.
    const QByteArray& said() const { return m_said; }

    // Ends it at once, as a crash would: no goodbye to any client.
    void kill() { end(SIGKILL); }

private:
    QByteArray end(int signal)
    {
        if (m_pid <= 0)
            return {};
        ::kill(m_pid, signal);
        ::waitpid(m_pid, nullptr, 0);
        m_pid = -1;
        return drainStderr();
    }

    QByteArray drainStderr()
    {
        QByteArray said;
        char buffer[4096];
        for (ssize_t n; (n = ::read(m_stderr[0], buffer, sizeof buffer)) > 0;)
            said.append(buffer, qsizetype(n));
        ::close(m_stderr[0]);
        m_stderr[0] = -1;
        return said;
    }

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
    pid_t m_pid = -1;
    int m_stderr[2] = {-1, -1};
    QByteArray m_said;
};
