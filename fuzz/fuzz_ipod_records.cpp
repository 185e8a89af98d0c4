// The iPod record database walk over arbitrary bytes: it must end, without a fault, on
// anything a volume may hold at that path.

#include "device/ipod/iPodDevice.h"

#include <QBuffer>
#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    const QString name = kestrap::iPodDevice::nameFromRecordDatabase(buffer);
    // A name is only ever made of bytes the file holds.
    if (name.size() * 2 > qsizetype(size))
        __builtin_trap();
    return 0;
}
