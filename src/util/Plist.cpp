#include "util/Plist.h"

#include <QByteArray>
#include <QDateTime>
#include <QTimeZone>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <limits>
#include <memory>
#include <plist/plist.h>

namespace kestrap::plist {

namespace {

// Seconds from 1970 to 2001, the epoch of property-list dates.
constexpr qint64 kAppleEpochOffset = 978307200;
// Far deeper than any file the program writes; protects the stack from hostile nesting.
constexpr int kMaxDepth = 512;

struct PlistFree {
    void operator()(plist_t p) const
    {
        if (p)
            plist_free(p);
    }
};
using PlistPtr = std::unique_ptr<void, PlistFree>;

std::optional<QVariant> fromNode(plist_t node, int depth)
{
    if (!node || depth > kMaxDepth)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return QVariant(b != 0);
    }
    case PLIST_UINT: {
        uint64_t v = 0;
        plist_get_uint_val(node, &v);
        // libplist keeps every integer as 64 unsigned bits; binary files store negatives as
        // two's complement, so values above the signed range are negative numbers.
        return QVariant(static_cast<qint64>(v));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return QVariant(d);
    }
    case PLIST_STRING: {
        // Not plist_get_string_val: a string holding a zero byte (a job file, a device's
        // reply, an emulator client's message) fails an assertion there and aborts the
        // process. libplist keeps nothing sound past that byte (its XML reader leaves zeros,
        // its writers stop there), so the string ends at it.
        uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        return QVariant(s ? QString::fromUtf8(s, qsizetype(qstrnlen(s, uint(std::min<uint64_t>(length, UINT_MAX)))))
                          : QString(QLatin1String("")));
    }
    case PLIST_DATA: {
        char* d = nullptr;
        uint64_t len = 0;
        plist_get_data_val(node, &d, &len);
        QByteArray bytes(d ? d : "", d ? qsizetype(len) : 0);
        std::free(d);
        return QVariant(bytes);
    }
    case PLIST_DATE: {
        int32_t sec = 0;
        int32_t usec = 0;
        plist_get_date_val(node, &sec, &usec);
        const qint64 ms = (qint64(sec) + kAppleEpochOffset) * 1000 + usec / 1000;
        return QVariant(QDateTime::fromMSecsSinceEpoch(ms, QTimeZone::utc()));
    }
    case PLIST_ARRAY: {
        QVariantList list;
        list.reserve(plist_array_get_size(node));
        // Indexed access walks the children from the start each time; the iterator does not.
        plist_array_iter it = nullptr;
        plist_array_new_iter(node, &it);
        if (!it)
            return QVariant(list);
        for (;;) {
            plist_t child = nullptr;
            plist_array_next_item(node, it, &child);
            if (!child)
                break;
            auto item = fromNode(child, depth + 1);
            if (!item) {
                std::free(it);
                return std::nullopt;
            }
            list.append(std::move(*item));
        }
        std::free(it);
        return QVariant(list);
    }
    case PLIST_DICT: {
        QVariantMap map;
        plist_dict_iter it = nullptr;
        plist_dict_new_iter(node, &it);
        if (!it)
            return QVariant(map);
        for (;;) {
            char* key = nullptr;
            plist_t val = nullptr;
            plist_dict_next_item(node, it, &key, &val);
            if (!val) {
                std::free(key);
                break;
            }
            auto item = fromNode(val, depth + 1);
            const QString k = QString::fromUtf8(key ? key : "");
            std::free(key);
            if (!item) {
                std::free(it);
                return std::nullopt;
            }
            map.insert(k, std::move(*item));
        }
        std::free(it);
        return QVariant(map);
    }
    case PLIST_UID: {
        uint64_t v = 0;
        plist_get_uid_val(node, &v);
        return QVariant(static_cast<qint64>(v));
    }
    default:
        return std::nullopt;
    }
}

plist_t toNode(const QVariant& v, int depth)
{
    if (depth > kMaxDepth)
        return nullptr;
    switch (v.typeId()) {
    case QMetaType::Bool:
        return plist_new_bool(v.toBool() ? 1 : 0);
    case QMetaType::Int:
    case QMetaType::LongLong:
    case QMetaType::Long:
    case QMetaType::Short:
        return plist_new_uint(static_cast<uint64_t>(v.toLongLong()));
    case QMetaType::UInt:
    case QMetaType::ULongLong:
    case QMetaType::ULong:
    case QMetaType::UShort:
        return plist_new_uint(v.toULongLong());
    case QMetaType::Double:
    case QMetaType::Float:
        return plist_new_real(v.toDouble());
    case QMetaType::QString:
        return plist_new_string(v.toString().toUtf8().constData());
    case QMetaType::QByteArray: {
        const QByteArray b = v.toByteArray();
        return plist_new_data(b.constData(), uint64_t(b.size()));
    }
    case QMetaType::QDateTime: {
        const qint64 ms = v.toDateTime().toMSecsSinceEpoch() - kAppleEpochOffset * 1000;
        qint64 sec = ms / 1000;
        qint64 rem = ms % 1000;
        if (rem < 0) {
            rem += 1000;
            --sec;
        }
        if (sec < std::numeric_limits<int32_t>::min() || sec > std::numeric_limits<int32_t>::max())
            return nullptr;
        return plist_new_date(int32_t(sec), int32_t(rem * 1000));
    }
    case QMetaType::QVariantList:
    case QMetaType::QStringList: {
        plist_t arr = plist_new_array();
        for (const QVariant& item : v.toList()) {
            plist_t node = toNode(item, depth + 1);
            if (!node) {
                plist_free(arr);
                return nullptr;
            }
            plist_array_append_item(arr, node);
        }
        return arr;
    }
    case QMetaType::QVariantMap: {
        plist_t dict = plist_new_dict();
        const QVariantMap map = v.toMap();
        for (auto it = map.cbegin(); it != map.cend(); ++it) {
            plist_t node = toNode(it.value(), depth + 1);
            if (!node) {
                plist_free(dict);
                return nullptr;
            }
            plist_dict_set_item(dict, it.key().toUtf8().constData(), node);
        }
        return dict;
    }
    default:
        return nullptr;
    }
}

quint64 readBigEndian(const uchar* p, int size)
{
    quint64 v = 0;
    for (int i = 0; i < size; ++i)
        v = v << 8 | p[i];
    return v;
}

// Whether a binary property list holds a string with a zero character. libplist reads such
// a dictionary key and then fails an assertion on it, aborting the process; nothing the
// program or Apple's tools write holds one. The list has been parsed already, so its
// trailer and offsets are sound; anything out of range still counts as holding one.
bool binaryHoldsZeroInString(const QByteArray& bytes)
{
    constexpr qsizetype kTrailer = 32;
    const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
    const qsizetype size = bytes.size();
    if (size < 8 + kTrailer || !bytes.startsWith("bplist"))
        return false;
    const uchar* trailer = data + size - kTrailer;
    const int offsetSize = trailer[6];
    const quint64 objects = readBigEndian(trailer + 8, 8);
    const quint64 table = readBigEndian(trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || table > quint64(size)
        || objects > (quint64(size) - table) / quint64(offsetSize))
        return true;
    for (quint64 i = 0; i < objects; ++i) {
        const quint64 offset = readBigEndian(data + table + i * quint64(offsetSize), offsetSize);
        if (offset >= quint64(size))
            return true;
        const int type = data[offset] >> 4;
        if (type != 5 && type != 6)  // ASCII and UTF-16 strings
            continue;
        quint64 pos = offset + 1;
        quint64 count = data[offset] & 0xf;
        if (count == 0xf) {
            if (pos >= quint64(size) || (data[pos] >> 4) != 1)
                return true;
            const int lengthSize = 1 << (data[pos] & 0xf);
            if (lengthSize > 8 || pos + 1 + quint64(lengthSize) > quint64(size))
                return true;
            count = readBigEndian(data + pos + 1, lengthSize);
            pos += 1 + quint64(lengthSize);
        }
        const quint64 unit = type == 5 ? 1 : 2;
        if (count > (quint64(size) - pos) / unit)
            return true;
        for (quint64 c = 0; c < count; ++c) {
            const uchar* ch = data + pos + c * unit;
            if (ch[0] == 0 && (unit == 1 || ch[1] == 0))
                return true;
        }
    }
    return false;
}

}  // namespace

std::optional<QVariant> parse(const QByteArray& bytes, QString* error)
{
    if (bytes.isEmpty() || bytes.size() > std::numeric_limits<uint32_t>::max()) {
        if (error)
            *error = QStringLiteral("The data is not a property list.");
        return std::nullopt;
    }
    plist_t raw = nullptr;
    plist_from_memory(bytes.constData(), uint32_t(bytes.size()), &raw);
    PlistPtr root(raw);
    if (!root) {
        if (error)
            *error = QStringLiteral("The data is not a property list.");
        return std::nullopt;
    }
    if (binaryHoldsZeroInString(bytes)) {
        if (error)
            *error = QStringLiteral("The property list holds a string with a zero character.");
        return std::nullopt;
    }
    auto value = fromNode(root.get(), 0);
    if (!value && error)
        *error = QStringLiteral("The property list holds a value of an unsupported kind or is nested too deeply.");
    return value;
}

std::optional<QByteArray> toBinary(const QVariant& value)
{
    PlistPtr root(toNode(value, 0));
    if (!root)
        return std::nullopt;
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_bin(root.get(), &out, &len);
    if (!out)
        return std::nullopt;
    QByteArray bytes(out, qsizetype(len));
    plist_to_bin_free(out);
    return bytes;
}

std::optional<QByteArray> toXml(const QVariant& value)
{
    PlistPtr root(toNode(value, 0));
    if (!root)
        return std::nullopt;
    char* out = nullptr;
    uint32_t len = 0;
    plist_to_xml(root.get(), &out, &len);
    if (!out)
        return std::nullopt;
    QByteArray bytes(out, qsizetype(len));
    plist_to_xml_free(out);
    return bytes;
}

}  // namespace kestrap::plist
