// Writes the seed corpus of fuzz_devicefarm_afc: sessions a client such as libimobiledevice
// sends to a container (folders, a file written, read back, moved and removed), and ones
// that try to leave the container.

#include "SeedFolder.h"

#include <QByteArray>
#include <QtEndian>
#include <initializer_list>

namespace {

QByteArray u64(std::uint64_t value)
{
    QByteArray bytes(8, '\0');
    qToLittleEndian<std::uint64_t>(value, bytes.data());
    return bytes;
}

QByteArray path(const char* p)
{
    return QByteArray(p) + '\0';
}

// One AFC request: header, parameters, then data (a write's bytes).
QByteArray request(
    std::uint64_t number, std::uint64_t operation, const QByteArray& parameters, const QByteArray& data = {})
{
    const std::uint64_t thisLength = 40 + std::uint64_t(parameters.size());
    return QByteArray("CFA6LPAA") + u64(thisLength + std::uint64_t(data.size())) + u64(thisLength) + u64(number)
        + u64(operation) + parameters + data;
}

QByteArray session(std::initializer_list<std::pair<std::uint64_t, QByteArray>> requests)
{
    QByteArray all;
    std::uint64_t number = 0;
    for (const auto& [operation, body] : requests)
        all += request(number++, operation, body);
    return all;
}

}  // namespace

int main(int argc, char** argv)
{
    SeedFolder seeds(argc, argv, "afc");
    if (!seeds.valid())
        return 2;
    // A safe copy: a folder, a temporary file written and renamed over the target.
    QByteArray copy
        = session({{0x0B, {}}, {0x09, path("Documents/In")}, {0x0D, u64(3) + path("Documents/In/.a.part")}});
    copy += request(3, 0x10, u64(1), QByteArray("hello, device"));
    copy += session({{0x14, u64(1)}, {0x18, path("Documents/In/.a.part") + path("Documents/In/a")},
        {0x0A, path("Documents/In/a")}, {0x03, path("Documents/In")}});
    bool ok = seeds.put(copy);
    // Read back, seek, tell, truncate, set the time, remove.
    ok = seeds.put(session({{0x0D, u64(2) + path("Documents/In/a")}, {0x11, u64(1) + u64(0) + u64(3)}, {0x12, u64(1)},
             {0x0F, u64(1) + u64(64)}, {0x15, u64(1) + u64(2)}, {0x14, u64(1)}, {0x07, u64(1) + path("Documents/In/a")},
             {0x1E, u64(1500000000000000000ull) + path("Documents/In/a")}, {0x08, path("Documents/In/a")},
             {0x08, path("Documents/In")}}))
        && ok;
    // Paths that try to leave the container.
    ok = seeds.put(session({{0x09, path("../../escape")}, {0x0D, u64(3) + path("/../../../escape")},
             {0x18, path("Documents") + path("../Documents")}, {0x03, path("..")}, {0x0A, path("../../device.plist")}}))
        && ok;
    // Tuning requests and one the server does not know.
    ok = seeds.put(session(
             {{0x16, {}}, {0x17, u64(0)}, {0x19, u64(4096)}, {0x1A, u64(4096)}, {0x1B, u64(1) + u64(2)}, {0x42, {}}}))
        && ok;
    return ok ? 0 : 1;
}
