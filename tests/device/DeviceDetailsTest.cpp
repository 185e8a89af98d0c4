#include "device/DeviceTypes.h"
#include "device/UsbPorts.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrap;

TEST(MarketingNames, KnownTypesAreNamedAsPeopleCallTheModel)
{
    EXPECT_EQ(MarketingName("iPad12,1"), "iPad (9th generation)");
    EXPECT_EQ(MarketingName("iPad12,2"), "iPad (9th generation)");
    EXPECT_EQ(MarketingName("iPhone1,1"), "iPhone");
    EXPECT_EQ(MarketingName("iPhone10,3"), "iPhone X");
    EXPECT_EQ(MarketingName("iPhone10,6"), "iPhone X");
    EXPECT_EQ(MarketingName("iPhone14,6"), "iPhone SE (3rd generation)");
    EXPECT_EQ(MarketingName("iPod9,1"), "iPod touch (7th generation)");
    EXPECT_EQ(MarketingName("iPad6,11"), "iPad (5th generation)");
}

TEST(MarketingNames, AnUnknownTypeIsShownAsItselfAndNoTypeAsNothing)
{
    EXPECT_EQ(MarketingName("iPhone99,9"), "iPhone99,9");
    EXPECT_EQ(MarketingName("iphone10,3"), "iphone10,3");  // product types are case-sensitive
    EXPECT_TRUE(MarketingName("").isNull());
    EXPECT_TRUE(MarketingName(QString()).isNull());
}

namespace {

// A sysfs tree with USB devices given by folder name, bus and address.
class FakeSysfs {
public:
    void add(const QString& name, const QByteArray& busnum, const QByteArray& devnum)
    {
        const QString folder = devices() + QLatin1Char('/') + name;
        QDir().mkpath(folder);
        write(folder + "/busnum", busnum);
        write(folder + "/devnum", devnum);
    }
    QString root() const { return m_dir.path(); }

private:
    QString devices() const { return m_dir.path() + "/bus/usb/devices"; }
    static void write(const QString& path, const QByteArray& text)
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QTemporaryDir m_dir;
};

}  // namespace

TEST(HubPlaces, ALocationIdCarriesBusAndAddressAsUsbmuxdPacksThem)
{
    const UsbAddress where = usbAddressOfLocation((3u << 16) | 17u);
    EXPECT_EQ(where.bus, 3);
    EXPECT_EQ(where.address, 17);
}

TEST(HubPlaces, ADeviceIsFoundByBusAndAddressWhereverItSits)
{
    FakeSysfs sysfs;
    sysfs.add("usb1", "1\n", "1\n");  // the root hub
    sysfs.add("1-4", "1\n", "2\n");  // a hub on port 4
    sysfs.add("1-4.2", "1\n", "3\n");  // a second hub behind it
    sysfs.add("1-4.2:1.0", "1\n", "3\n");  // its interface, never a place
    sysfs.add("1-4.2.3", "1\n", "9\n");  // a device behind both hubs
    sysfs.add("2-1", "2\n", "9\n");  // same address, other bus
    EXPECT_EQ(usbPortPath({1, 9}, sysfs.root()), "1-4.2.3");
    EXPECT_EQ(usbPortPath({2, 9}, sysfs.root()), "2-1");
    EXPECT_EQ(usbPortPath({1, 3}, sysfs.root()), "1-4.2");
}

TEST(HubPlaces, AMissingDeviceOrAMalformedTreeGivesNoPlace)
{
    FakeSysfs sysfs;
    sysfs.add("1-1", "one\n", "5\n");
    sysfs.add("1-2", "", "");
    sysfs.add("1-3", "1\n", "-6\n");
    EXPECT_TRUE(usbPortPath({1, 5}, sysfs.root()).isNull());
    EXPECT_TRUE(usbPortPath({1, 6}, sysfs.root()).isNull());
    EXPECT_TRUE(usbPortPath({1, 7}, sysfs.root()).isNull());
    EXPECT_TRUE(usbPortPath({0, 0}, sysfs.root()).isNull());
    EXPECT_TRUE(usbPortPath({1, 5}, sysfs.root() + "/nowhere").isNull());
    QDir(sysfs.root()).mkpath("bus/usb/devices/1-9");  // a device folder without its files
    EXPECT_TRUE(usbPortPath({1, 9}, sysfs.root()).isNull());
}
