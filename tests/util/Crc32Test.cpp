#include "util/Crc32.h"

#include <QRandomGenerator>
#include <gtest/gtest.h>

using namespace kestrap;

namespace {
// The textbook bitwise register update, independent of both table and zlib code paths.
std::uint32_t bitwise(const QByteArray& data, std::uint32_t seed, std::uint32_t poly)
{
    std::uint32_t reg = seed;
    for (char c : data) {
        reg ^= std::uint8_t(c);
        for (int k = 0; k < 8; ++k)
            reg = (reg & 1) ? (reg >> 1) ^ poly : reg >> 1;
    }
    return reg ^ 0xFFFFFFFFu;
}
}  // namespace

TEST(Crc32, KnownValues)
{
    EXPECT_EQ(crc32(QByteArray("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc32(QByteArray()), 0u);
    // CRC-32C (Castagnoli, reflected 0x82F63B78) of "123456789".
    EXPECT_EQ(crc32UsingPolynomial(QByteArray("123456789"), 0x82F63B78u), 0xE3069283u);
    // A zero seed is used as given, not replaced by the standard one.
    EXPECT_EQ(crc32WithSeed(QByteArray("123456789"), 0u), bitwise("123456789", 0u, 0xEDB88320u));
}

TEST(Crc32, FastPathAgreesWithBitwiseOnRandomData)
{
    QRandomGenerator rng(42);
    for (int size : {1, 3, 7, 8, 63, 64, 65, 1000, 4096, 100003}) {
        QByteArray data(size, Qt::Uninitialized);
        for (char& c : data)
            c = char(rng.bounded(256));
        EXPECT_EQ(crc32(data), bitwise(data, 0xFFFFFFFFu, 0xEDB88320u)) << size;
        EXPECT_EQ(crc32WithSeed(data, 0x12345678u), bitwise(data, 0x12345678u, 0xEDB88320u)) << size;
    }
}
