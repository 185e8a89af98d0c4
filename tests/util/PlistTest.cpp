#include "util/Plist.h"

#include <QDateTime>
#include <QRandomGenerator>
#include <QTimeZone>
#include <gtest/gtest.h>

using namespace kestrap;

TEST(Plist, BinaryRoundTripKeepsKindsAndValues)
{
    QVariantMap inner {{"flag", true}, {"n", qint64(-5)}, {"big", qint64(1) << 40}, {"r", 2.5}};
    const QDateTime when = QDateTime::fromMSecsSinceEpoch(1700000000123, QTimeZone::utc());
    QVariantMap root {{"s", QStringLiteral("ä/\u65e5")},
        {"list", QVariantList {1, QStringLiteral("x"), QVariantMap {}}}, {"inner", inner},
        {"data", QByteArray("\x00\x01\xff", 3)}, {"when", when}};
    const auto bin = plist::toBinary(root);
    ASSERT_TRUE(bin);
    EXPECT_TRUE(bin->startsWith("bplist00"));
    const auto back = plist::parse(*bin);
    ASSERT_TRUE(back);
    const QVariantMap m = back->toMap();
    EXPECT_EQ(m["s"].toString(), root["s"].toString());
    EXPECT_EQ(m["inner"].toMap()["n"].toLongLong(), -5);
    EXPECT_EQ(m["inner"].toMap()["big"].toLongLong(), qint64(1) << 40);
    EXPECT_EQ(m["inner"].toMap()["flag"].typeId(), QMetaType::Bool);
    EXPECT_DOUBLE_EQ(m["inner"].toMap()["r"].toDouble(), 2.5);
    EXPECT_EQ(m["data"].toByteArray(), QByteArray("\x00\x01\xff", 3));
    EXPECT_EQ(m["when"].toDateTime().toMSecsSinceEpoch(), when.toMSecsSinceEpoch());
    EXPECT_EQ(m["list"].toList().size(), 3);
}

TEST(Plist, XmlIsReadToo)
{
    const QByteArray xml = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict><key>a</key><integer>7</integer><key>b</key><true/></dict></plist>)";
    const auto v = plist::parse(xml);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->toMap()["a"].toLongLong(), 7);
    EXPECT_TRUE(v->toMap()["b"].toBool());
}

// Found by fuzzing job files: libplist's own string getter asserts on a zero byte, and a
// hostile job file, device reply or emulator client stopped the whole process.
TEST(Plist, AStringHoldingAZeroByteEndsThere)
{
    const char raw[] = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>s</key><string>0123\0\0"
                       "4567</string></dict></plist>";
    const QByteArray xml(raw, sizeof raw - 1);
    const auto v = plist::parse(xml);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->toMap()["s"].toString(), QStringLiteral("0123"));
    const auto binary = plist::toBinary(*v);
    ASSERT_TRUE(binary);
    EXPECT_EQ(plist::parse(*binary)->toMap()["s"].toString(), v->toMap()["s"].toString());
}

// Also found by fuzzing: a binary dictionary key holding a zero byte aborted the process in
// libplist; such a list is refused.
TEST(Plist, ABinaryStringHoldingAZeroCharacterIsRefused)
{
    const QByteArray good
        = *plist::toBinary(QVariantMap {{"key", QStringLiteral("value")}, {"u", QStringLiteral("é")}});
    for (const QByteArray& name : {QByteArray("key"), QByteArray("value")}) {
        QByteArray bad = good;
        const qsizetype at = bad.indexOf(name);
        ASSERT_GE(at, 0);
        bad[at + 1] = '\0';
        QString error;
        EXPECT_FALSE(plist::parse(bad, &error)) << name.constData();
        EXPECT_TRUE(error.contains(QStringLiteral("zero"))) << error.toStdString();
    }
    QByteArray utf16 = good;  // "é" is stored as UTF-16: one 16-bit unit, made zero
    const qsizetype at = utf16.indexOf(QByteArray("\x61\x00\xe9", 3));
    ASSERT_GE(at, 0);
    utf16[at + 2] = '\0';
    EXPECT_FALSE(plist::parse(utf16));
    EXPECT_TRUE(plist::parse(good));
}

TEST(Plist, GarbageIsRejectedWithoutCrashing)
{
    QString error;
    EXPECT_FALSE(plist::parse(QByteArray(), &error));
    EXPECT_FALSE(error.isEmpty());
    EXPECT_FALSE(plist::parse(QByteArray("bplist00")));
    EXPECT_FALSE(plist::toBinary(QVariant()));
    QRandomGenerator rng(7);
    const QByteArray good = *plist::toBinary(QVariantMap {{"k", QVariantList {1, 2, QStringLiteral("three")}}});
    for (int round = 0; round < 2000; ++round) {
        QByteArray data = good;
        for (int flips = 1 + rng.bounded(4); flips > 0; --flips)
            data[rng.bounded(int(data.size()))] = char(rng.bounded(256));
        if (round % 3 == 0)
            data.truncate(rng.bounded(int(data.size())) + 1);
        plist::parse(data);  // must neither crash nor hang; the answer may be anything
    }
}
