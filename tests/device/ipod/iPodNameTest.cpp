// Naming an iPod from its media databases, including files that lie about themselves.

#include "PodVolume.h"
#include "device/ipod/iPodDevice.h"

#include <QBuffer>
#include <chrono>
#include <gtest/gtest.h>

using kestrap::iPodDevice;
using namespace records;

namespace {

QString nameOf(const PodVolume& volume)
{
    return iPodDevice(volume.path()).name();
}

QString walk(const QByteArray& bytes)
{
    QByteArray copy = bytes;
    QBuffer buffer(&copy);
    buffer.open(QIODevice::ReadOnly);
    return iPodDevice::nameFromRecordDatabase(buffer);
}

}  // namespace

TEST(iPodName, RecordDatabaseCases)
{
    struct Case {
        const char* what;
        QByteArray db;
        QString expected;
    };
    const QString nonAscii = QStringLiteral("Jürgen’s iPod — 音楽 \U0001F3B5");
    const Case cases[] = {
        {"master after another titled playlist", typical(QStringLiteral("Anna's iPod")), QStringLiteral("Anna's iPod")},
        {"non-ASCII title", typical(nonAscii), nonAscii},
        {"empty title is a name", typical(QString()), QStringLiteral("")},
        {"no master playlist", database({section(2, playlistList({playlist(false, {title(QStringLiteral("Mix"))})}))}),
            QStringLiteral("Unknown iPod")},
        {"master playlist without title", database({section(2, playlistList({playlist(true, {otherObject(50, 4)})}))}),
            QStringLiteral("Unknown iPod")},
        {"no playlist section", database({section(1, QByteArray(64, '\0'))}), QStringLiteral("Unknown iPod")},
        {"only the first playlist list is searched",
            database({section(2, playlistList({})),
                section(2, playlistList({playlist(true, {title(QStringLiteral("Late"))})}))}),
            QStringLiteral("Unknown iPod")},
        {"empty file", QByteArray(), QStringLiteral("Unknown iPod")},
    };
    for (const Case& c : cases) {
        PodVolume volume;
        volume.recordDatabase(c.db);
        const QString name = nameOf(volume);
        EXPECT_EQ(name, c.expected) << c.what;
        EXPECT_FALSE(name.isNull()) << c.what;
    }
}

TEST(iPodName, OlderRecordDatabaseLocationAndNoDatabase)
{
    PodVolume old;
    old.writeFile(QStringLiteral("iPod_Control/iTunesDB"), typical(QStringLiteral("Old One")));
    EXPECT_EQ(nameOf(old), "Old One");

    PodVolume none;
    EXPECT_EQ(nameOf(none), "Unknown iPod");
}

TEST(iPodName, MediaLibraryCases)
{
    struct Case {
        const char* what;
        const char* sql;
        QString expected;
    };
    const Case cases[] = {
        {"named container",
            "INSERT INTO db_info VALUES (1, 9000000000000000001, 'x');"
            "INSERT INTO container VALUES (5, 'Other'), (9000000000000000001, 'Ada''s Nano');",
            QStringLiteral("Ada's Nano")},
        {"non-ASCII", "INSERT INTO db_info VALUES (1, 7, 'x'); INSERT INTO container VALUES (7, 'Élodie 的 iPod');",
            QStringLiteral("Élodie 的 iPod")},
        {"empty db_info", "INSERT INTO container VALUES (7, 'Unused');", QStringLiteral("iPod")},
        {"NULL primary container", "INSERT INTO db_info VALUES (1, NULL, 'x');", QStringLiteral("iPod")},
        {"no such container", "INSERT INTO db_info VALUES (1, 8, 'x'); INSERT INTO container VALUES (7, 'A');",
            QStringLiteral("iPod")},
        {"NULL name", "INSERT INTO db_info VALUES (1, 7, 'x'); INSERT INTO container VALUES (7, NULL);",
            QStringLiteral("iPod")},
    };
    for (const Case& c : cases) {
        PodVolume volume;
        // The record database is never consulted once a media library exists.
        volume.recordDatabase(typical(QStringLiteral("From Records")));
        volume.mediaLibrary(c.sql);
        EXPECT_EQ(nameOf(volume), c.expected) << c.what;
    }
}

TEST(iPodName, UnreadableMediaLibraryGivesIPod)
{
    PodVolume garbage;
    garbage.recordDatabase(typical(QStringLiteral("From Records")));
    garbage.writeFile(QStringLiteral("iPod_Control/iTunes/iTunes Library.itlp/Library.itdb"), QByteArray(512, 'z'));
    EXPECT_EQ(nameOf(garbage), "iPod");
}

// An iPod handed over by anyone carries a database made by anyone: its views may neither
// reach what the schema is not trusted with nor keep the reader for ever.
TEST(iPodName, HostileMediaLibraryGivesIPodAndEnds)
{
    PodVolume spying;
    spying.mediaLibrary("INSERT INTO db_info VALUES (1, 7, 'x'); DROP TABLE container;"
                        "CREATE VIEW container AS SELECT 7 AS pid, file AS name FROM pragma_database_list;");
    EXPECT_EQ(nameOf(spying), "iPod");

    PodVolume endless;
    endless.mediaLibrary("INSERT INTO db_info VALUES (1, 0, 'x'); DROP TABLE container;"
                         "CREATE VIEW container AS WITH RECURSIVE c(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM c) "
                         "SELECT x AS pid, 'Never' AS name FROM c;");
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(nameOf(endless), "iPod");
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(30));
}

TEST(iPodRecordWalk, EveryTruncationEndsWithoutAName)
{
    const QByteArray db = typical(QStringLiteral("Whole"));
    ASSERT_EQ(walk(db), "Whole");
    // The title is the last thing read, so every shorter file is cut before it ends.
    const qsizetype titleEnd = db.size() - item().size() * 3;
    for (qsizetype n = 0; n < titleEnd; ++n)
        EXPECT_TRUE(walk(db.left(n)).isNull()) << "cut at " << n;
}

TEST(iPodRecordWalk, HostileLengthsAndCountsEndTheWalk)
{
    struct Case {
        const char* what;
        QByteArray db;
    };
    QList<Case> cases;
    auto patched = [](QByteArray db, int offset, std::uint32_t v) {
        put32(db, offset, v);
        return db;
    };
    const QByteArray good = database({section(2, playlistList({playlist(true, {title(QStringLiteral("T"))})}))});
    const int sectionAt = 104, listAt = sectionAt + 96, playlistAt = listAt + 92, titleAt = playlistAt + 108;
    // Header lengths shorter than what was read would move the walk backwards, round and round.
    cases.append({"database header length 0 with endless sections", patched(patched(good, 4, 0), 20, 0xffffffff)});
    cases.append({"section header length 0", patched(good, sectionAt + 4, 0)});
    cases.append({"playlist list header length 4", patched(good, listAt + 4, 4)});
    cases.append({"playlist header length 0", patched(good, playlistAt + 4, 0)});
    cases.append({"title shorter than its header", patched(good, titleAt + 8, 39)});
    // Lengths and counts far beyond the file.
    cases.append({"title of 4 GiB", patched(good, titleAt + 8, 0xffffffff)});
    cases.append({"section header past the end", patched(good, sectionAt + 4, 0xfffffff0)});
    cases.append({"billions of playlists", patched(patched(good, listAt + 8, 0xffffffff), playlistAt + 20, 0)});
    cases.append({"billions of data objects", patched(patched(good, playlistAt + 12, 0xffffffff), titleAt + 12, 50)});
    {
        // Billions of sections, each a bare header whose contents are empty: it advances,
        // but only 16 bytes at a time, and must stop at the end of the file.
        QByteArray db = header("mhbd", 24);
        put32(db, 20, 0xffffffff);
        QByteArray bare = header("mhsd", 16);
        put32(bare, 8, 16);
        put32(bare, 12, 1);
        for (int i = 0; i < 1000; ++i)
            db += bare;
        cases.append({"endless empty sections", db});
    }
    {
        QByteArray sec = section(1, QByteArray(32, '\0'));
        put32(sec, 8, 40);  // total length below the header length
        cases.append({"section contents of negative length", database({sec})});
    }
    {
        QByteArray bad = otherObject(50, 0);
        put32(bad, 8, 8);  // a data object shorter than its own header
        cases.append({"data object shorter than its header",
            database({section(2, playlistList({playlist(true, {bad, title(QStringLiteral("T"))})}))})});
    }
    {
        QByteArray list = playlistList({playlist(false, {}, 1), playlist(true, {title(QStringLiteral("T"))})});
        put32(list, 92 + 108 + 8, 4);  // the item's total length below the 28 bytes read
        cases.append({"playlist item shorter than its header", database({section(2, list)})});
    }

    for (const Case& c : cases)
        EXPECT_TRUE(walk(c.db).isNull()) << c.what;
}
