// One application per user: a later launch hands its job files to the first and ends.

#include "app/SingleInstance.h"
#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <QDir>
#include <QLocalSocket>
#include <QProcess>
#include <QStandardPaths>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

using namespace kestrap;
using kestrap::app::SingleInstance;
using HandOff = SingleInstance::HandOff;

namespace {

// What a launch that serves was asked, as its window would get it.
struct Requests {
    explicit Requests(SingleInstance& instance)
    {
        QObject::connect(&instance, &SingleInstance::openRequested, [this](const QStringList& p) { opened += p; });
        QObject::connect(&instance, &SingleInstance::activateRequested, [this] { ++activated; });
    }
    QStringList opened;
    int activated = 0;
};

// A socket file as a crashed instance leaves it: bound once, nobody listening.
void leaveStaleSocket(const QString& path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, QFile::encodeName(path).constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

}  // namespace

// A session bus of the test's own, when dbus-daemon is installed.
class PrivateSessionBus {
public:
    PrivateSessionBus()
    {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            return;
        m_daemon.start(daemon, {"--session", "--nofork", "--print-address"});
        if (m_daemon.waitForReadyRead(5000))
            address = QString::fromUtf8(m_daemon.readLine()).trimmed();
    }
    ~PrivateSessionBus()
    {
        m_daemon.kill();
        m_daemon.waitForFinished();
    }
    QString address;

private:
    QProcess m_daemon;
};

TEST(SingleInstance, OverASocketALaterLaunchHandsItsFilesToTheFirstEvenAfterACrash)
{
    TempTree tree;
    SingleInstance::Channels channels;
    channels.socketPath = tree.path(QStringLiteral("kestrap.socket"));
    SingleInstance later(channels);
    EXPECT_EQ(later.handOff({QStringLiteral("/jobs/a.jcf")}), HandOff::NoneRunning);
    leaveStaleSocket(channels.socketPath);
    EXPECT_EQ(later.handOff({QStringLiteral("/jobs/a.jcf")}), HandOff::NoneRunning);

    SingleInstance first(channels);
    Requests requests(first);
    QString reason;
    ASSERT_TRUE(first.serve(&reason)) << reason.toStdString();
    EXPECT_FALSE(SingleInstance(channels).serve()) << "a second server while the first serves";

    EXPECT_EQ(later.handOff({QStringLiteral("rel/a.jcf"), QStringLiteral("/jobs/b c.jcf")}, &reason), HandOff::Handed)
        << reason.toStdString();
    ASSERT_TRUE(TestFarm::waitFor([&] { return requests.opened.size() == 2; }));
    EXPECT_EQ(requests.opened,
        (QStringList {QDir::current().absoluteFilePath(QStringLiteral("rel/a.jcf")), QStringLiteral("/jobs/b c.jcf")}));
    EXPECT_EQ(later.handOff({}), HandOff::Handed);
    EXPECT_TRUE(TestFarm::waitFor([&] { return requests.activated == 2; }));
    EXPECT_EQ(requests.opened.size(), 2);

    // Junk that never makes a request is cut off, and the next launch is still served.
    QLocalSocket junk;
    junk.connectToServer(channels.socketPath);
    ASSERT_TRUE(junk.waitForConnected(2000));
    junk.write(QByteArray(2 * 1024 * 1024, '\xff'));
    EXPECT_TRUE(TestFarm::waitFor([&] { return junk.state() == QLocalSocket::UnconnectedState; }));
    EXPECT_EQ(later.handOff({QStringLiteral("/jobs/c.jcf")}), HandOff::Handed);
    EXPECT_TRUE(TestFarm::waitFor([&] { return requests.opened.size() == 3; }));
}

TEST(SingleInstance, OverTheSessionBusTheFirstLaunchAnswersTheDesktopsOpenUntilItEnds)
{
#if defined(__SANITIZE_THREAD__)
    // QtDBus hands every message to a thread of its own inside the uninstrumented Qt and
    // libdbus libraries; the two-process test covers the bus under the other builds.
    GTEST_SKIP() << "QtDBus's own thread is not visible to ThreadSanitizer";
#endif
    PrivateSessionBus bus;
    if (bus.address.isEmpty())
        GTEST_SKIP() << "no dbus-daemon";
    TempTree tree;
    const auto channels = [&](const QString& connection) {
        SingleInstance::Channels c;
        c.bus = QDBusConnection::connectToBus(bus.address, connection);
        c.busName = QStringLiteral("org.kestrap.Test");
        c.socketPath = tree.path(QStringLiteral("kestrap.socket"));
        return c;
    };
    SingleInstance later(channels(QStringLiteral("later")));
    EXPECT_EQ(later.handOff({QStringLiteral("/jobs/a.jcf")}), HandOff::NoneRunning);
    {
        SingleInstance first(channels(QStringLiteral("first")));
        Requests requests(first);
        QString reason;
        ASSERT_TRUE(first.serve(&reason)) << reason.toStdString();
        EXPECT_FALSE(SingleInstance(channels(QStringLiteral("third"))).serve()) << "the name is taken";
        EXPECT_FALSE(QFile::exists(tree.path(QStringLiteral("kestrap.socket"))));

        // Names a file URI has to encode come through whole.
        const QStringList files {QStringLiteral("/jobs/a.jcf"), QStringLiteral("/jobs/Ünterricht #2.jcf")};
        EXPECT_EQ(later.handOff(files, &reason), HandOff::Handed) << reason.toStdString();
        ASSERT_TRUE(TestFarm::waitFor([&] { return requests.opened.size() == 2; }));
        EXPECT_EQ(requests.opened, files);
        EXPECT_EQ(later.handOff({}), HandOff::Handed);
        EXPECT_TRUE(TestFarm::waitFor([&] { return requests.activated == 2; }));
    }
    // The name goes with the instance: the next launch serves.
    EXPECT_EQ(later.handOff({QStringLiteral("/jobs/a.jcf")}), HandOff::NoneRunning);
}
