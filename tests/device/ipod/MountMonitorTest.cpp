// Reading the kernel's mount table and turning its changes into mounts and unmounts.

#include "device/ipod/MountMonitor.h"
#include "PodVolume.h"

#include <gtest/gtest.h>

using kestrap::ProcMountMonitor;

namespace {

const QByteArray kTable = "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
                          "23 22 0:21 / /proc rw,nosuid - proc proc rw\n"
                          "40 22 8:17 / /media/user/Kim\\040iPod rw,nosuid shared:5 master:1 - vfat /dev/sdb1 rw\n"
                          "41 22 0:45 / /mnt/net rw - nfs server:/export rw\n"
                          "this line is not a mount\n"
                          "43 22 7:0 / /mnt/back\\134slash\\011tab rw - hfsplus /dev/loop0 rw\n";

QStringList pathsOf(const std::vector<ProcMountMonitor::Mount>& mounts)
{
    QStringList out;
    for (const auto& m : mounts)
        out << m.mountPoint;
    return out;
}

}  // namespace

TEST(MountTable, DeviceBackedVolumesWithEscapesDecoded)
{
    const auto mounts = ProcMountMonitor::parseMountInfo(kTable);
    EXPECT_EQ(pathsOf(mounts), (QStringList {"/", "/media/user/Kim iPod", "/mnt/back\\slash\ttab"}));
    EXPECT_EQ(mounts[1].device, "8:17");

    // Mounted over: one entry, with the device now visible there.
    const auto over
        = ProcMountMonitor::parseMountInfo(kTable + "50 40 8:33 / /media/user/Kim\\040iPod rw - vfat /dev/sdc1 rw\n");
    EXPECT_EQ(pathsOf(over), pathsOf(mounts));
    EXPECT_EQ(over[1].device, "8:33");
}

TEST(MountTable, RescanReportsWhatChanged)
{
    FileTree tree;
    tree.writeFile("mountinfo",
        "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "2 1 8:17 / /media/a rw - vfat /dev/sdb1 rw\n"
        "3 1 8:33 / /media/b rw - vfat /dev/sdc1 rw\n");
    ProcMountMonitor monitor(tree.path("mountinfo"));
    QStringList events;
    const QStringList initial = monitor.start({
        [&](const QString& p) { events << "+" + p; },
        [&](const QString& p) { events << "-" + p; },
    });
    EXPECT_EQ(initial, (QStringList {"/", "/media/a", "/media/b"}));

    monitor.rescan();
    EXPECT_TRUE(events.isEmpty());

    // b unplugged, another device mounted where a was, c plugged in.
    tree.writeFile("mountinfo",
        "1 0 8:1 / / rw - ext4 /dev/sda1 rw\n"
        "4 1 8:49 / /media/a rw - vfat /dev/sdd1 rw\n"
        "5 1 8:65 / /media/c rw - vfat /dev/sde1 rw\n");
    monitor.rescan();
    EXPECT_EQ(events, (QStringList {"-/media/a", "-/media/b", "+/media/a", "+/media/c"}));
}
