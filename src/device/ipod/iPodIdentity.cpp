// Who an iPod is: the USB serial number behind its volume and its entry in the iPod
// preferences.

#include "device/ipod/iPodDevice.h"

#include "util/Paths.h"
#include "util/Plist.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <fcntl.h>
#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace kestrap {

namespace {

constexpr int kDescriptorBufferSize = 128;
constexpr int kMaxDescriptorChars = 63;
constexpr int kDeviceDescriptorSerialIndex = 16;  // iSerialNumber in the device descriptor

QByteArray readSmallFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.read(4096);
}

// GET_DESCRIPTOR for a string, US English, on the default pipe of the USB device the
// kernel numbers bus/device. Needs access to the device node; answers null without it.
QString readStringDescriptor(int bus, int device, int index)
{
    const QByteArray node = QStringLiteral("/dev/bus/usb/%1/%2")
                                .arg(bus, 3, 10, QLatin1Char('0'))
                                .arg(device, 3, 10, QLatin1Char('0'))
                                .toLocal8Bit();
    const int fd = ::open(node.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return {};
    std::uint8_t buffer[kDescriptorBufferSize] = {};
    usbdevfs_ctrltransfer request {};
    request.bRequestType = 0x80;
    request.bRequest = 6;
    request.wValue = std::uint16_t(0x0300 + index);
    request.wIndex = 0x0409;
    request.wLength = sizeof buffer;
    request.timeout = 1000;
    request.data = buffer;
    const int transferred = ::ioctl(fd, USBDEVFS_CONTROL, &request);
    ::close(fd);
    if (transferred < 0)
        return {};
    return getUSBStringDescriptor(std::span(buffer, std::size_t(transferred)));
}

// The serial number of the USB device whose sysfs folder is dir: asked of the device
// itself when its node can be opened, else as the kernel read it at enumeration.
QString serialOfUSBDevice(const QString& dir)
{
    const QByteArray descriptors = readSmallFile(PathJoin(dir, QStringLiteral("descriptors")));
    if (descriptors.size() > kDeviceDescriptorSerialIndex) {
        const int index = std::uint8_t(descriptors[kDeviceDescriptorSerialIndex]);
        const int bus = readSmallFile(PathJoin(dir, QStringLiteral("busnum"))).trimmed().toInt();
        const int device = readSmallFile(PathJoin(dir, QStringLiteral("devnum"))).trimmed().toInt();
        if (index == 0)
            return {};
        if (bus > 0 && device > 0) {
            const QString serial = readStringDescriptor(bus, device, index);
            if (!serial.isNull())
                return serial;
        }
    }
    const QByteArray serial = readSmallFile(PathJoin(dir, QStringLiteral("serial"))).trimmed();
    return serial.isEmpty() ? QString() : QString::fromUtf8(serial);
}

}  // namespace

QString getUSBStringDescriptor(std::span<const std::uint8_t> transferred)
{
    if (transferred.size() < 3)
        return {};
    const std::size_t count = std::min<std::size_t>((transferred.size() - 1) / 2, kMaxDescriptorChars);
    QString text = QStringLiteral("");
    for (std::size_t i = 0; i < count; ++i) {
        // An odd count leaves the last unit without its high byte.
        const std::size_t low = 2 + 2 * i;
        const std::uint8_t high = low + 1 < transferred.size() ? transferred[low + 1] : 0;
        const char16_t unit = char16_t(transferred[low] | high << 8);
        if (unit == 0)
            break;
        text.append(QChar(unit));
    }
    return text;
}

QString getUSBDeviceInfo(const QString& sysRoot, unsigned major, unsigned minor)
{
    const QString dir = usbDeviceFolderOfBlock(sysRoot, major, minor);
    return dir.isNull() ? QString() : serialOfUSBDevice(dir);
}

QString usbDeviceFolderOfBlock(const QString& sysRoot, unsigned major, unsigned minor)
{
    const QString link = PathJoin(sysRoot, QStringLiteral("dev/block/%1:%2").arg(major).arg(minor));
    QString dir = QFileInfo(link).canonicalFilePath();
    const QString root = QFileInfo(sysRoot).canonicalFilePath();
    if (dir.isEmpty() || root.isEmpty())
        return {};
    // From the partition up through the disk, the SCSI host and the USB interface to the
    // USB device, the first folder that carries a device number and vendor.
    while (dir.startsWith(root + u'/')) {
        if (QFile::exists(PathJoin(dir, QStringLiteral("idVendor")))
            && QFile::exists(PathJoin(dir, QStringLiteral("devnum"))))
            return dir;
        dir = QFileInfo(dir).path();
    }
    return {};
}

QString iPodDevice::GetPreferencesDirectory()
{
    QString config = QFile::decodeName(qgetenv("XDG_CONFIG_HOME"));
    if (config.isEmpty() || !QDir::isAbsolutePath(config))
        config = PathJoin(QDir::homePath(), QStringLiteral(".config"));
    return PathJoin(config, QStringLiteral("Kestrap"));
}

void iPodDevice::GetPodInfo()
{
    m_uuid = QString();
    m_hubPlace = QString();
    struct stat st { };
    if (::stat(QFile::encodeName(m_mountPath).constData(), &st) == 0) {
        const QString usb = usbDeviceFolderOfBlock(m_sysRoot, ::major(st.st_dev), ::minor(st.st_dev));
        m_uuid = usb.isNull() ? QString() : serialOfUSBDevice(usb);
        m_hubPlace = usb.isNull() ? QString() : QFileInfo(usb).fileName();
        if (!m_uuid.isNull())
            qDebug().noquote() << "iPod" << m_mountPath << "USB serial number" << m_uuid;
    }
    if (m_uuid.isNull())
        return;

    QFile file(PathJoin(GetPreferencesDirectory(), QStringLiteral("com.apple.iPod.plist")));
    if (!file.open(QIODevice::ReadOnly))
        return;
    const std::optional<QVariant> prefs = plist::parse(file.readAll());
    if (!prefs)
        return;
    const QVariantMap entry = prefs->toMap().value(QStringLiteral("Devices")).toMap().value(m_uuid).toMap();
    m_serialNumber = entry.value(QStringLiteral("Serial Number")).toString();
    m_osVersion = entry.value(QStringLiteral("Firmware Version String")).toString();
    m_familyId = entry.value(QStringLiteral("Family ID")).toInt();
}

std::int32_t iPodDevice::PodType() const
{
    if (m_familyId < 7)
        return 1;
    if (m_familyId == 11)
        return 2;
    if (m_familyId <= 20)
        return 3;
    if (m_familyId >= 101 && m_familyId <= 199)
        return 4;
    return 0;
}

}  // namespace kestrap
