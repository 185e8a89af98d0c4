// iPhoneDetector: what each platform callback turns into, in notifications and console lines.

#include "device/ios/iPhoneDetector.h"
#include "support/TestFarm.h"

#include <QStringList>
#include <gtest/gtest.h>

using namespace kestrap;
using namespace kestrap::sim;

namespace {

QStringList* gLines = nullptr;

void collect(QtMsgType, const QMessageLogContext&, const QString& message)
{
    if (gLines)
        gLines->append(message);
}

class iPhoneDetectorTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        gLines = &lines;
        previous = qInstallMessageHandler(collect);
        center.addObserver(msgNewPhoneConnected, [this](const DeviceNotification& n) { added.push_back(n.device); });
        center.addObserver(msgPhoneDisconnected, [this](const DeviceNotification& n) { removed.push_back(n.device); });
    }
    void TearDown() override
    {
        qInstallMessageHandler(previous);
        gLines = nullptr;
    }

    TestFarm farm;
    NotificationCenter center;
    QStringList lines;
    QtMessageHandler previous = nullptr;
    std::vector<std::shared_ptr<iMobileDevice>> added;
    std::vector<std::shared_ptr<iMobileDevice>> removed;
};

}  // namespace

TEST_F(iPhoneDetectorTest, AttachOpensAndAnnouncesDetachForgets)
{
    const QString a = farm.addPhone();
    const QString b = farm.addPhone({}, true);
    iPhoneDetector detector(farm.service(), center);
    const AMDeviceRef recordA = farm.service()->currentRecord(a);
    const AMDeviceRef recordB = farm.service()->currentRecord(b);
    detector.handleCallbackFromDevice(recordA, AMDeviceMessageConnected);
    detector.handleCallbackFromDevice(recordB, AMDeviceMessageConnected);
    ASSERT_EQ(added.size(), 2u);
    ASSERT_EQ(detector.connectedPhones().size(), 2u);
    EXPECT_EQ(added[0]->uuid(), a);
    const auto phoneB = std::static_pointer_cast<iPhoneDevice>(added[1]);
    EXPECT_TRUE(phoneB->isJailbreak());
    EXPECT_FALSE(phoneB->isAFC2Mode());
    EXPECT_EQ(lines.count(QStringLiteral("iPhone recognized.")), 2);

    // Another record of the same device (as a detach may bring) still finds it.
    detector.handleCallbackFromDevice(farm.service()->makeStrayRecord(b), AMDeviceMessageDisconnected);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0], added[1]);
    // Kept here as a finished row keeps it, it holds no connection.
    EXPECT_FALSE(phoneB->hasConnection());
    EXPECT_EQ(detector.connectedPhones().size(), 1u);

    detector.handleCallbackFromDevice(recordA, 3);
    EXPECT_TRUE(lines.contains(QStringLiteral("Unknown device connection notificaiton recieved.  Message = 3")));
    detector.handleCallbackFromDevice(recordA, AMDeviceMessageDisconnected);
    EXPECT_EQ(removed.size(), 2u);
    EXPECT_TRUE(detector.connectedPhones().empty());
}

TEST_F(iPhoneDetectorTest, DevicesThatCannotBeOpenedOrFoundChangeNothing)
{
    SimDeviceSpec refusing;
    refusing.faults.refuseSession = true;
    const QString bad = farm.addDevice(refusing);
    const QString good = farm.addPhone();
    iPhoneDetector detector(farm.service(), center);
    detector.handleCallbackFromDevice(farm.service()->currentRecord(good), AMDeviceMessageConnected);
    lines.clear();

    detector.handleCallbackFromDevice(farm.service()->currentRecord(bad), AMDeviceMessageConnected);
    // Not announced, and the trace says why.
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("iPhone recognized."));
    EXPECT_EQ(lines[1], QStringLiteral("iPhone %1 not opened: %2").arg(bad, amdErrorText(AMDSessionRefusedError)));
    EXPECT_EQ(added.size(), 1u);

    // The unopened device goes while one healthy device is tracked: the healthy one stays.
    lines.clear();
    detector.handleCallbackFromDevice(farm.service()->currentRecord(bad), AMDeviceMessageDisconnected);
    EXPECT_TRUE(removed.empty());
    EXPECT_EQ(detector.connectedPhones().size(), 1u);
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], QStringLiteral("iPhone disconnected."));
    EXPECT_TRUE(lines[1].startsWith(QStringLiteral("DEVICE DISCONNECT: ")));

    // A record without an identifier is ignored without a word.
    lines.clear();
    detector.handleCallbackFromDevice(farm.service()->makeStrayRecord(QString()), AMDeviceMessageDisconnected);
    EXPECT_TRUE(lines.isEmpty());
    EXPECT_TRUE(removed.empty());
}

TEST_F(iPhoneDetectorTest, SubscriptionAnnouncesPluggedDevicesFromTheEventLoop)
{
    farm.addPhone();
    farm.addPhone();
    {
        iPhoneDetector detector(farm.service(), center);
        detector.startListening();
        EXPECT_TRUE(added.empty());  // not from inside the subscription call
        ASSERT_TRUE(TestFarm::waitFor([&] { return added.size() == 2; }));
    }
    // The detector is gone, and so is its subscription: nothing reaches it any more.
    farm.addPhone();
    farm.service()->rescan();
    EXPECT_EQ(added.size(), 2u);
}
