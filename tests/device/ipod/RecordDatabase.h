#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstdint>

// Record databases built byte by byte, the way an iPod lays them out: a tag, little-endian
// 32-bit fields, headers padded beyond the bytes a reader needs, children after headers.
namespace records {

inline void put32(QByteArray& b, int offset, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[offset + i] = char((v >> (8 * i)) & 0xff);
}

// A header of headerLength bytes (zero padded) starting with the tag and its own length.
inline QByteArray header(const char* tag, int headerLength)
{
    QByteArray b(headerLength, '\0');
    b.replace(0, 4, tag);
    put32(b, 4, std::uint32_t(headerLength));
    return b;
}

inline QByteArray title(const QString& text)
{
    QByteArray b = header("mhod", 40);
    put32(b, 4, 24);
    QByteArray utf16;
    for (QChar c : text) {
        utf16 += char(c.unicode() & 0xff);
        utf16 += char(c.unicode() >> 8);
    }
    put32(b, 8, std::uint32_t(40 + utf16.size()));
    put32(b, 12, 1);
    return b + utf16;
}

// A data object of another type (50: smart playlist data) with a payload.
inline QByteArray otherObject(std::uint32_t type, int payload)
{
    QByteArray b = header("mhod", 24);
    b.resize(24 + payload, '\x7f');
    put32(b, 8, std::uint32_t(b.size()));
    put32(b, 12, type);
    return b;
}

// A playlist item with its own data object.
inline QByteArray item()
{
    QByteArray b = header("mhip", 76);
    const QByteArray child = otherObject(100, 20);
    put32(b, 8, std::uint32_t(b.size() + child.size()));
    return b + child;
}

inline QByteArray playlist(bool master, const QList<QByteArray>& objects, int items = 1)
{
    QByteArray b = header("mhyp", 108);
    put32(b, 12, std::uint32_t(objects.size()));
    put32(b, 16, std::uint32_t(items));
    b[20] = master ? 1 : 0;
    for (const QByteArray& o : objects)
        b += o;
    for (int i = 0; i < items; ++i)
        b += item();
    return b;
}

inline QByteArray playlistList(const QList<QByteArray>& playlists)
{
    QByteArray b = header("mhlp", 92);
    put32(b, 8, std::uint32_t(playlists.size()));
    for (const QByteArray& p : playlists)
        b += p;
    return b;
}

inline QByteArray section(std::uint32_t type, const QByteArray& contents)
{
    QByteArray b = header("mhsd", 96);
    put32(b, 8, std::uint32_t(96 + contents.size()));
    put32(b, 12, type);
    return b + contents;
}

inline QByteArray database(const QList<QByteArray>& sections)
{
    QByteArray b = header("mhbd", 104);
    QByteArray body;
    for (const QByteArray& s : sections)
        body += s;
    put32(b, 8, std::uint32_t(104 + body.size()));
    put32(b, 20, std::uint32_t(sections.size()));
    return b + body;
}

// A track section, then a playlist list whose first playlist is not the master one.
inline QByteArray typical(const QString& masterTitle)
{
    const QByteArray tracks = section(1, header("mhlt", 92) + QByteArray(300, '\x55'));
    const QByteArray lists = section(2,
        playlistList({
            playlist(false, {title(QStringLiteral("Road Trip")), otherObject(50, 8)}),
            playlist(true, {otherObject(50, 12), title(masterTitle)}, 3),
        }));
    return database({tracks, lists});
}

}  // namespace records
