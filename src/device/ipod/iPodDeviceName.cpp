// The iPod's name: the title of the master playlist in its media database.

#include "device/ipod/iPodDevice.h"
#include "logging/Log.h"
#include "logging/SqliteSupport.h"

#include <QFile>
#include <cstring>
#include <sqlite3.h>
#include <sys/stat.h>

namespace kestrap {

namespace {

const QString kMediaLibrary = QStringLiteral("iPod_Control/iTunes/iTunes Library.itlp/Library.itdb");
const QString kRecordDatabase = QStringLiteral("iPod_Control/iTunes/iTunesDB");
const QString kOldRecordDatabase = QStringLiteral("iPod_Control/iTunesDB");
const QString kLibraryFallback = QStringLiteral("iPod");
const QString kRecordFallback = QStringLiteral("Unknown iPod");

constexpr std::uint32_t kPlaylistSection = 2;
constexpr std::uint32_t kTitleObject = 1;
constexpr qint64 kTitleHeader = 40;
constexpr qint64 kItemHeader = 28;

std::uint32_t le32(const unsigned char* p, int offset)
{
    return std::uint32_t(p[offset]) | std::uint32_t(p[offset + 1]) << 8 | std::uint32_t(p[offset + 2]) << 16
        | std::uint32_t(p[offset + 3]) << 24;
}

bool readExactly(QIODevice& file, unsigned char* buffer, qint64 n)
{
    return file.read(reinterpret_cast<char*>(buffer), n) == n;
}

// Moves forward by n bytes. A negative n would make the walk go round in circles, and a
// target past the end can only lead to a record cut short, so both end the walk.
bool skipForward(QIODevice& file, qint64 n)
{
    if (n < 0)
        return false;
    if (n == 0)
        return true;
    if (!file.isSequential() && n > file.size() - file.pos())
        return false;
    return file.skip(n) == n;
}

// A count of records that cannot all fit in the rest of the file is a lie or a file cut
// short; either way the walk would end without a name, only later.
bool plausibleCount(QIODevice& file, std::uint32_t count, qint64 minimumRecordSize)
{
    return file.isSequential() || qint64(count) * minimumRecordSize <= file.size() - file.pos();
}

bool isRegular(const QString& path)
{
    struct stat st { };
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode);
}

struct Statement {
    sqlite3_stmt* stmt = nullptr;
    ~Statement() { sqlite3_finalize(stmt); }
};

// The library is outside input: an iPod anyone handed over may carry a database made to
// hang or exploit its reader, hence the untrusted connection; what cannot be read gives the
// fallback name, with the reason in the log.
QString nameFromMediaLibrary(const QString& path)
{
    sqlitesupport::ReadOnlyDatabase d;
    QString error;
    if (!d.open(QFile::encodeName(path), &error)) {
        KLOG_WARN("Cannot open the iPod's media library %1: %2", path, error);
        return kLibraryFallback;
    }
    sqlite3_busy_timeout(d.handle(), 2000);
    const auto unreadable = [&](int rc) {
        if (rc != SQLITE_OK && rc != SQLITE_ROW && rc != SQLITE_DONE)
            KLOG_WARN("Cannot read the iPod's media library %1: %2", path, d.errorText(rc));
        return kLibraryFallback;
    };

    QByteArray pid;
    {
        Statement info;
        int rc = sqlite3_prepare_v2(d.handle(), "SELECT * FROM db_info;", -1, &info.stmt, nullptr);
        if (rc != SQLITE_OK || (rc = d.step(info.stmt)) != SQLITE_ROW)
            return unreadable(rc);
        const int columns = sqlite3_column_count(info.stmt);
        int column = -1;
        for (int i = 0; i < columns && column < 0; ++i)
            if (std::strcmp(sqlite3_column_name(info.stmt, i), "primary_container_pid") == 0)
                column = i;
        if (column < 0 || sqlite3_column_type(info.stmt, column) == SQLITE_NULL)
            return kLibraryFallback;
        pid = QByteArray(reinterpret_cast<const char*>(sqlite3_column_text(info.stmt, column)));
    }

    Statement container;
    int rc = sqlite3_prepare_v2(d.handle(), "SELECT name FROM container WHERE pid=?", -1, &container.stmt, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_bind_text(container.stmt, 1, pid.constData(), int(pid.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK || (rc = d.step(container.stmt)) != SQLITE_ROW)
        return unreadable(rc);
    if (sqlite3_column_type(container.stmt, 0) == SQLITE_NULL)
        return kLibraryFallback;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(container.stmt, 0));
    return QString::fromUtf8(text, sqlite3_column_bytes(container.stmt, 0));
}

}  // namespace

QString iPodDevice::getDeviceName() const
{
    const QString library = confinedPath(kMediaLibrary, true);
    if (!library.isNull() && QFile::exists(library))
        return nameFromMediaLibrary(library);

    QString records = confinedPath(kRecordDatabase, true);
    if (records.isNull() || !QFile::exists(records))
        records = confinedPath(kOldRecordDatabase, true);
    const QString name = records.isNull() ? QString() : getNameFromDB(records);
    return name.isNull() ? kRecordFallback : name;
}

QString iPodDevice::getNameFromDB(const QString& path)
{
    // Anything but a regular file (a pipe, a device) could block the reader forever.
    if (!isRegular(path))
        return {};
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return nameFromRecordDatabase(file);
}

QString iPodDevice::nameFromRecordDatabase(QIODevice& file)
{
    unsigned char header[24];
    if (!readExactly(file, header, sizeof header) || !skipForward(file, qint64(le32(header, 4)) - 24))
        return {};
    const std::uint32_t sections = le32(header, 20);
    if (!plausibleCount(file, sections, 16))
        return {};
    for (std::uint32_t i = 0; i < sections; ++i) {
        unsigned char section[16];
        if (!readExactly(file, section, sizeof section))
            return {};
        const qint64 headerLength = le32(section, 4);
        if (!skipForward(file, headerLength - 16))
            return {};
        if (le32(section, 12) == kPlaylistSection)
            return readMHLP(file);
        if (!skipForward(file, qint64(le32(section, 8)) - headerLength))
            return {};
    }
    return {};
}

QString iPodDevice::readMHLP(QIODevice& file)
{
    unsigned char list[12];
    if (!readExactly(file, list, sizeof list) || !skipForward(file, qint64(le32(list, 4)) - 12))
        return {};
    const std::uint32_t playlists = le32(list, 8);
    if (!plausibleCount(file, playlists, 24))
        return {};
    for (std::uint32_t p = 0; p < playlists; ++p) {
        unsigned char playlist[24];
        if (!readExactly(file, playlist, sizeof playlist) || !skipForward(file, qint64(le32(playlist, 4)) - 24))
            return {};
        const std::uint32_t objects = le32(playlist, 12);
        const std::uint32_t items = le32(playlist, 16);
        const bool master = playlist[20] == 1;
        if (!plausibleCount(file, objects, 16) || !plausibleCount(file, items, kItemHeader))
            return {};

        for (std::uint32_t o = 0; o < objects; ++o) {
            unsigned char object[16];
            if (!readExactly(file, object, sizeof object))
                return {};
            const qint64 totalLength = le32(object, 8);
            if (le32(object, 12) != kTitleObject) {
                if (!skipForward(file, totalLength - 16))
                    return {};
                continue;
            }
            unsigned char rest[24];
            if (totalLength < kTitleHeader || !readExactly(file, rest, sizeof rest))
                return {};
            const QString title = readMHODString(file, std::uint32_t(totalLength - kTitleHeader));
            if (title.isNull())
                return {};
            if (master)
                return title;
        }
        for (std::uint32_t i = 0; i < items; ++i) {
            unsigned char item[kItemHeader];
            if (!readExactly(file, item, sizeof item) || !skipForward(file, qint64(le32(item, 8)) - kItemHeader))
                return {};
        }
    }
    return {};
}

QString iPodDevice::readMHODString(QIODevice& file, std::uint32_t length)
{
    // Read in pieces: a length field can claim gigabytes that the file does not hold.
    QByteArray bytes;
    constexpr qint64 kPiece = 64 * 1024;
    while (bytes.size() < qint64(length)) {
        const QByteArray piece = file.read(std::min(kPiece, qint64(length) - bytes.size()));
        if (piece.isEmpty())
            return {};
        bytes += piece;
    }
    QString text = QStringLiteral("");
    text.reserve(bytes.size() / 2);
    for (qsizetype i = 0; i + 1 < bytes.size(); i += 2)
        text.append(QChar(char16_t(std::uint8_t(bytes[i]) | std::uint8_t(bytes[i + 1]) << 8)));
    return text;
}

}  // namespace kestrap
