// The emulator faces whatever a client sends: malformed or oversized frames end that one
// connection, never the emulator or its other clients.

#include "support/DeviceEmulator.h"
#include "support/TestFarm.h"
#include "tools/MuxClient.h"

#include <QtEndian>
#include <gtest/gtest.h>
#include <usbmuxd.h>

namespace {

// Sends the bytes (and, with endOfInput, nothing more) and answers whether the emulator
// closed the connection without a word.
bool closedAfter(const QString& path, const QByteArray& bytes, bool endOfInput = false)
{
    const int fd = muxclient::connectTo(path);
    if (fd < 0)
        return false;
    ::send(fd, bytes.constData(), std::size_t(bytes.size()), MSG_NOSIGNAL);
    if (endOfInput)
        ::shutdown(fd, SHUT_WR);
    timeval wait {5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char c;
    const bool closed = ::recv(fd, &c, 1, 0) == 0;
    ::close(fd);
    return closed;
}

QByteArray muxHeader(std::uint32_t length, std::uint32_t version, std::uint32_t message)
{
    QByteArray h(16, '\0');
    qToLittleEndian<std::uint32_t>(length, h.data());
    qToLittleEndian<std::uint32_t>(version, h.data() + 4);
    qToLittleEndian<std::uint32_t>(message, h.data() + 8);
    return h;
}

}  // namespace

TEST(DeviceFarmWire, MalformedRequestsEndOnlyTheirOwnConnection)
{
    TestFarm farm;
    const QString udid = farm.addPhone();
    DeviceEmulator emulator(farm.path());
    ASSERT_TRUE(emulator.start());
    const QString socket = emulator.socketPath();

    EXPECT_TRUE(closedAfter(socket, muxHeader(0x7fffffff, 1, 8)));  // a length past any limit
    EXPECT_TRUE(closedAfter(socket, muxHeader(8, 1, 8)));  // shorter than its own header
    EXPECT_TRUE(closedAfter(socket, muxHeader(16 + 4, 0, 3) + "abcd"));  // the old binary protocol
    EXPECT_TRUE(closedAfter(socket, muxHeader(16 + 9, 1, 8) + "not plist"));
    EXPECT_TRUE(closedAfter(socket, muxHeader(16 + 3, 1, 8), true));  // cut short by a client that left

    // Still serving, and its device still there.
    qputenv("USBMUXD_SOCKET_ADDRESS", emulator.address().toLocal8Bit());
    usbmuxd_device_info_t* list = nullptr;
    EXPECT_EQ(usbmuxd_get_device_list(&list), 1);
    if (list) {
        EXPECT_EQ(QString::fromLatin1(list[0].udid), udid);
        usbmuxd_device_list_free(&list);
    }
    qunsetenv("USBMUXD_SOCKET_ADDRESS");
}
