#include "util/Helpers.h"
#include "util/Paths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace kestrap;

TEST(CapacityString, UnitsAndRounding)
{
    EXPECT_EQ(CapacityString(0), "0");
    EXPECT_EQ(CapacityString(1), "1 byte");
    EXPECT_EQ(CapacityString(2), "2 bytes");
    EXPECT_EQ(CapacityString(1023), "1023 bytes");
    EXPECT_EQ(CapacityString(1024), "1.00 KB");
    EXPECT_EQ(CapacityString(1536), "1.50 KB");
    EXPECT_EQ(CapacityString(1048575), "1024.00 KB");  // rounds up inside the lower unit
    EXPECT_EQ(CapacityString(1048576), "1.00 MB");
    EXPECT_EQ(CapacityString(1073741824), "1.00 GB");
    EXPECT_EQ(CapacityString(1099511627776ull), "1024.00 GB");  // no unit above GB
    EXPECT_EQ(CapacityString(UINT64_MAX), "17179869184.00 GB");
}

TEST(IsEmpty, NullBlankAndLineEnds)
{
    EXPECT_TRUE(IsEmpty(QString()));
    EXPECT_TRUE(IsEmpty(QStringLiteral("")));
    EXPECT_TRUE(IsEmpty(QStringLiteral(" \t  ")));
    EXPECT_TRUE(IsEmpty(QString(QChar(0x00A0)) + QChar(0x2003)));  // no-break and em space
    EXPECT_FALSE(IsEmpty(QStringLiteral("\n")));
    EXPECT_FALSE(IsEmpty(QStringLiteral(" a ")));
    EXPECT_EQ(safeString(QString()), QStringLiteral(""));
    EXPECT_FALSE(safeString(QString()).isNull());
}

TEST(PrintableText, EveryControlCharacterIsReplaced)
{
    const QString fffd(QChar::ReplacementCharacter);
    // An OSC that retitles the terminal, then a CSI that clears it.
    EXPECT_EQ(printableText(QStringLiteral("\x1b]0;pwned\x07 \x1b[2J")), fffd + "]0;pwned" + fffd + " " + fffd + "[2J");
    EXPECT_EQ(printableText(QStringLiteral("a\nb\tc\rd")), "a" + fffd + "b" + fffd + "c" + fffd + "d");
    // DEL and the C1 range, including the one-character CSI U+009B; U+00A0 is printable.
    EXPECT_EQ(
        printableText(QString::fromUtf16(u"\u007f\u0080\u009b\u009f\u00a0")), fffd + fffd + fffd + fffd + QChar(0xa0));
    EXPECT_EQ(printableText(QString(QChar(0))), fffd);
    EXPECT_EQ(printableText(QStringLiteral("Élodie 的 iPhone")), QStringLiteral("Élodie 的 iPhone"));
    EXPECT_TRUE(printableText(QString()).isNull());

    // A message keeps its own line breaks and tabs, nothing else.
    EXPECT_EQ(printableMessage(QStringLiteral("a\n\tb\x1b[2J\r")), "a\n\tb" + fffd + "[2J" + fffd);
}

TEST(TimeTexts, Boundaries)
{
    EXPECT_EQ(stringOfTime(0), "0:00");
    EXPECT_EQ(stringOfTime(3599999), "59:59");
    EXPECT_EQ(stringOfTime(3600000), "1:00:00");
    EXPECT_EQ(stringWithSeconds(59.4), "00:59");
    EXPECT_EQ(stringWithSeconds(59.5), "01:00");
    EXPECT_EQ(stringWithSeconds(3599.5), "01:00:00");
}

TEST(HexAndHashes, RoundTripsAndKnownValues)
{
    EXPECT_EQ(hexString(QStringLiteral("Aé")), "41c3a9");
    EXPECT_EQ(decodeHex(QStringLiteral("41c3a9")), QStringLiteral("Aé"));
    EXPECT_EQ(decodeHex(QStringLiteral("410042")), "A");  // stops at a zero byte
    EXPECT_EQ(sha1(QStringLiteral("abc")), "a9993e364706816aba3e25717850c26c9cd0d89d");
    const QString g = guid();
    EXPECT_EQ(g.size(), 36);
    EXPECT_EQ(g, g.toUpper());
    EXPECT_NE(g, guid());
}

TEST(IncrementFilePath, FindsFirstFreeName)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("job.jcf"));
    EXPECT_EQ(incramentFilePathIfExists(path), path);
    QFile(path).open(QIODevice::WriteOnly);
    EXPECT_EQ(incramentFilePathIfExists(path), dir.filePath(QStringLiteral("job (1).jcf")));
    QFile(dir.filePath(QStringLiteral("job (1).jcf"))).open(QIODevice::WriteOnly);
    EXPECT_EQ(incramentFilePathIfExists(path), dir.filePath(QStringLiteral("job (2).jcf")));
    EXPECT_TRUE(incramentFilePathIfExists(QString()).isNull());
}

TEST(Paths, WithinAFolderByItsComponents)
{
    for (const char* within : {"Documents", "/Documents/x", "Documents/", "./Documents//In", "x/../Documents"})
        EXPECT_TRUE(PathIsWithin(QString::fromLatin1(within), u"Documents")) << within;
    for (const char* outside : {"Documentsx", "", "/", "Inbox", "Documents/../x", "../Documents", "x/Documents"})
        EXPECT_FALSE(PathIsWithin(QString::fromLatin1(outside), u"Documents")) << outside;
}

TEST(Paths, JoinExtensionLastComponent)
{
    EXPECT_EQ(PathJoin("Documents", "Photos/2012"), "Documents/Photos/2012");
    EXPECT_EQ(PathJoin("Documents/", "/a.jpg"), "Documents/a.jpg");
    EXPECT_EQ(PathJoin("/", "Documents"), "/Documents");
    EXPECT_EQ(PathJoin("Documents", ""), "Documents");
    EXPECT_EQ(PathJoin("", "a"), "a");
    EXPECT_EQ(PathExtension("/x/a.tar.gz"), "gz");
    EXPECT_EQ(PathExtension("/x.d/README"), "");
    EXPECT_EQ(PathExtension("/x/.bashrc"), "bashrc");
    EXPECT_EQ(LastPathComponent("/data/Photos/"), "Photos");
    EXPECT_EQ(LastPathComponent("/"), "/");
}
