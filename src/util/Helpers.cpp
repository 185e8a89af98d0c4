#include "util/Helpers.h"

#include <QCryptographicHash>
#include <QFileInfo>
#include <QLocale>
#include <QUuid>
#include <algorithm>

namespace kestrap {

QString CapacityString(std::uint64_t bytes)
{
    constexpr std::uint64_t KB = 1024;
    constexpr std::uint64_t MB = KB * 1024;
    constexpr std::uint64_t GB = MB * 1024;
    if (bytes == 0)
        return QStringLiteral("0");
    if (bytes == 1)
        return QStringLiteral("1 byte");
    if (bytes < KB)
        return QStringLiteral("%1 bytes").arg(bytes);
    if (bytes < MB)
        return QString::asprintf("%.2f KB", double(bytes) / double(KB));
    if (bytes < GB)
        return QString::asprintf("%.2f MB", double(bytes) / double(MB));
    return QString::asprintf("%.2f GB", double(bytes) / double(GB));
}

namespace {
// Space, tab and the Unicode space separators; line ends are deliberately not white space here.
bool isBlank(QChar c)
{
    return c == u'\t' || c.category() == QChar::Separator_Space;
}
}  // namespace

bool IsEmpty(const QString& s)
{
    if (s.isNull())
        return true;
    for (QChar c : s)
        if (!isBlank(c))
            return false;
    return true;
}

QString safeString(const QString& s)
{
    return s.isNull() ? QStringLiteral("") : s;
}

bool inArray(const QString& s, const QStringList& list)
{
    return list.contains(s);
}

namespace {

bool isControl(char16_t c)
{
    return c < 0x20 || (c >= 0x7f && c <= 0x9f);
}

QString replaceControls(const QString& s, bool keepLineBreaks)
{
    const auto replaced = [&](char16_t c) { return isControl(c) && !(keepLineBreaks && (c == u'\n' || c == u'\t')); };
    // Most text holds none: leave it shared.
    if (std::none_of(s.cbegin(), s.cend(), [&](QChar c) { return replaced(c.unicode()); }))
        return s;
    QString out = s;
    for (QChar& c : out)
        if (replaced(c.unicode()))
            c = QChar::ReplacementCharacter;
    return out;
}

}  // namespace

QString printableText(const QString& s)
{
    return replaceControls(s, false);
}

QString printableMessage(const QString& s)
{
    return replaceControls(s, true);
}

QString hexString(const QString& s)
{
    return QString::fromLatin1(s.toUtf8().toHex());
}

QString decodeHex(const QString& hex)
{
    QByteArray bytes = QByteArray::fromHex(hex.toLatin1());
    // Reading stops at the first zero byte, as the text would be read back from a C string.
    return QString::fromUtf8(bytes.constData());
}

QString stringOfTime(std::int32_t milliseconds)
{
    const std::int32_t total = milliseconds / 1000;
    const std::int32_t h = total / 3600;
    const std::int32_t m = (total % 3600) / 60;
    const std::int32_t sec = total % 60;
    if (h == 0)
        return QString::asprintf("%i:%02i", m, sec);
    return QString::asprintf("%i:%02i:%02i", h, m, sec);
}

QString stringWithSeconds(double seconds)
{
    const auto total = static_cast<std::int64_t>(seconds + 0.5);
    const int h = int(total / 3600);
    const int m = int((total % 3600) / 60);
    const int sec = int(total % 60);
    if (h == 0)
        return QString::asprintf("%02i:%02i", m, sec);
    return QString::asprintf("%02i:%02i:%02i", h, m, sec);
}

QString stringOfDate(const QDateTime& date)
{
    // Qt has no medium date style; the abbreviated month name is its nearest kin.
    const QLocale locale = QLocale::system();
    return locale.toString(date.date(), QStringLiteral("MMM d, yyyy")) + u' '
        + locale.toString(date.time(), QLocale::ShortFormat);
}

QString incramentFilePathIfExists(const QString& path)
{
    if (path.isNull())
        return QString();
    if (!QFileInfo::exists(path))
        return path;
    const QFileInfo info(path);
    const QString dir = info.path();
    const QString base = info.completeBaseName();
    const QString ext = info.suffix();
    for (unsigned n = 1;; ++n) {
        QString name = QStringLiteral("%1 (%2)").arg(base).arg(n);
        if (!ext.isEmpty())
            name += u'.' + ext;
        const QString candidate = path.contains(u'/') ? dir + u'/' + name : name;
        if (!QFileInfo::exists(candidate))
            return candidate;
    }
}

QString sha1(const QString& s)
{
    return QString::fromLatin1(QCryptographicHash::hash(s.toUtf8(), QCryptographicHash::Sha1).toHex());
}

QString guid()
{
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
}

}  // namespace kestrap
