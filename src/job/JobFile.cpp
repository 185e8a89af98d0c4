#include "job/JobSettings.h"

#include "job/SendPlan.h"

#include "device/DeviceTypes.h"
#include "util/Crc32.h"
#include "util/Paths.h"
#include "util/Plist.h"

#include <QFile>
#include <QSaveFile>
#include <QtEndian>
#include <algorithm>

namespace kestrap {

namespace {

const QString kReadDomain = QStringLiteral("Read Config File");
const QString kWriteDomain = QStringLiteral("Write Config File");
const QString kInvalidFile = QStringLiteral("This is not a valid file!");

// Reads typed values out of a parsed payload; the first value of the wrong kind is
// remembered with where it was, and ends the read.
class ShapeReader {
public:
    QString fault;

    bool ok() const { return fault.isEmpty(); }

    QVariantMap dict(const QVariantMap& parent, const QString& key, const QString& where)
    {
        const QVariant v = parent.value(key);
        if (!v.isValid())
            return {};
        if (v.typeId() != QMetaType::QVariantMap)
            fail(where + key, QStringLiteral("a dictionary"));
        return v.toMap();
    }

    QVariantList array(const QVariantMap& parent, const QString& key, const QString& where)
    {
        const QVariant v = parent.value(key);
        if (!v.isValid())
            return {};
        if (v.typeId() != QMetaType::QVariantList)
            fail(where + key, QStringLiteral("an array"));
        return v.toList();
    }

    QString string(const QVariantMap& parent, const QString& key, const QString& where, bool required = false)
    {
        const QVariant v = parent.value(key);
        if (!v.isValid()) {
            if (required)
                fault = QStringLiteral("%1%2 is missing").arg(where, key);
            return QString();
        }
        if (v.typeId() != QMetaType::QString)
            fail(where + key, QStringLiteral("a string"));
        return v.toString();
    }

    // Booleans also accept integers, as hand-written XML files tend to use them.
    bool boolean(const QVariantMap& parent, const QString& key, const QString& where)
    {
        const QVariant v = parent.value(key);
        if (!v.isValid())
            return false;
        if (v.typeId() == QMetaType::Bool)
            return v.toBool();
        if (v.typeId() == QMetaType::LongLong)
            return v.toLongLong() != 0;
        fail(where + key, QStringLiteral("a boolean"));
        return false;
    }

    std::optional<std::int64_t> integer(const QVariantMap& parent, const QString& key, const QString& where)
    {
        const QVariant v = parent.value(key);
        if (!v.isValid())
            return std::nullopt;
        if (v.typeId() == QMetaType::LongLong)
            return v.toLongLong();
        if (v.typeId() == QMetaType::Bool)
            return v.toBool() ? 1 : 0;
        fail(where + key, QStringLiteral("an integer"));
        return std::nullopt;
    }

private:
    void fail(const QString& what, const QString& expected)
    {
        if (fault.isEmpty())
            fault = QStringLiteral("%1 is not %2").arg(what, expected);
    }
};

// A file entry sends its file, or a folder's files, to the job's folder joined with its
// directory, under the last name of its path: an entry that would land beside or above the
// job's folder is no entry the program writes, and the device would be written where no one
// looks for it.
QString entryFault(const QString& path, const QString& directory, const QString& where)
{
    if (!path.startsWith(u'/'))
        return QStringLiteral("%1path \"%2\" is not an absolute path").arg(where, path);
    const QString name = LastPathComponent(path);
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QStringLiteral("%1path \"%2\" names no file or folder").arg(where, path);
    if (directory.split(u'/').contains(QLatin1String("..")))
        return QStringLiteral("%1directory \"%2\" leads out of the job's folder").arg(where, directory);
    return {};
}

std::optional<JobSettings> settingsFromPayload(const QVariant& payload, QString* fault)
{
    if (payload.typeId() != QMetaType::QVariantMap) {
        *fault = QStringLiteral("the top level is not a dictionary");
        return std::nullopt;
    }
    const QVariantMap root = payload.toMap();
    ShapeReader r;
    // Whatever the file leaves out is off or empty, not the default of a new job.
    JobSettings s;
    s.isRecursive = false;
    s.recursiveDepth = 0;
    s.allowedPattern = QString();
    s.ignoredPattern = QString();

    const QVariantList excluded = r.array(root, QStringLiteral("excludedDevices"), QString());
    for (qsizetype i = 0; r.ok() && i < excluded.size(); ++i) {
        const QString where = QStringLiteral("excludedDevices[%1].").arg(i);
        if (excluded[i].typeId() != QMetaType::QVariantMap) {
            r.fault = QStringLiteral("excludedDevices[%1] is not a dictionary").arg(i);
            break;
        }
        QVariantMap rec = excluded[i].toMap();
        ExcludedDevice d;
        d.name = r.string(rec, QStringLiteral("name"), where);
        d.uid = r.string(rec, QStringLiteral("uid"), where);
        d.type = r.integer(rec, QStringLiteral("type"), where);
        d.status = rec.value(QStringLiteral("status"));
        d.doneTime = rec.value(QStringLiteral("done_time"));
        // The icon's name, as a connected device's row has it; windows add the image's type.
        d.icon = DeviceIconName(
            d.type && *d.type >= INT32_MIN && *d.type <= INT32_MAX ? std::int32_t(*d.type) : DeviceTypeUnknown);
        for (const char* known : {"name", "uid", "type", "status", "done_time", "icon"})
            rec.remove(QLatin1String(known));
        d.extra = std::move(rec);
        s.excludedDevices.push_back(std::move(d));
    }

    const QVariantMap fileConfig = r.dict(root, QStringLiteral("fileConfig"), QString());
    const QString fc = QStringLiteral("fileConfig.");
    s.isRecursive = r.boolean(fileConfig, QStringLiteral("isRecursive"), fc);
    const auto depth = r.integer(fileConfig, QStringLiteral("recursiveDepth"), fc);
    s.recursiveDepth = depth ? std::int32_t(std::clamp<std::int64_t>(*depth, INT32_MIN, INT32_MAX)) : 0;
    s.isAllowedPatternRegex = r.boolean(fileConfig, QStringLiteral("isAllowedPatternRegex"), fc);
    s.allowedPattern = r.string(fileConfig, QStringLiteral("allowedPattern"), fc);
    s.isIgnoredPatternRegex = r.boolean(fileConfig, QStringLiteral("isIgnoredPatternRegex"), fc);
    s.ignoredPattern = r.string(fileConfig, QStringLiteral("ignoredPattern"), fc);

    const QVariantList files = r.array(fileConfig, QStringLiteral("filePaths"), fc);
    for (qsizetype i = 0; r.ok() && i < files.size(); ++i) {
        const QString where = QStringLiteral("fileConfig.filePaths[%1].").arg(i);
        if (files[i].typeId() != QMetaType::QVariantMap) {
            r.fault = QStringLiteral("fileConfig.filePaths[%1] is not a dictionary").arg(i);
            break;
        }
        const QVariantMap stored = files[i].toMap();
        const QString path = r.string(stored, QStringLiteral("path"), where, true);
        const QString directory = r.string(stored, QStringLiteral("directory"), where, true);
        if (r.ok())
            r.fault = entryFault(path, directory, where);
        if (!r.ok())
            break;
        // The stored sub-folder wins over the one found on disk: the user may have edited it.
        FileEntryPtr entry = SendPlan::infoOfFile(path);
        entry->directory = directory;
        s.filePaths.push_back(std::move(entry));
    }

    const QVariantMap transConfig = r.dict(root, QStringLiteral("transConfig"), QString());
    s.appId = r.string(transConfig, QStringLiteral("appId"), QStringLiteral("transConfig."));
    if (const QString fault = JobFile::appIdFault(s.appId); r.ok() && !fault.isEmpty())
        r.fault = QStringLiteral("transConfig.appId %1").arg(fault);
    s.folder = r.string(transConfig, QStringLiteral("folder"), QStringLiteral("transConfig."));

    if (!r.ok()) {
        *fault = r.fault;
        return std::nullopt;
    }
    return s;
}

}  // namespace

QString JobFile::appIdFault(const QString& appId)
{
    constexpr qsizetype kMaxLength = 255;
    if (appId.isEmpty() || appId == QLatin1String("/"))
        return {};
    if (appId.size() > kMaxLength)
        return QStringLiteral("is longer than %1 characters").arg(kMaxLength);
    const auto isNameCharacter = [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') || c == u'-'
            || c == u'_';
    };
    for (const QStringView part : QStringView(appId).split(u'.')) {
        if (part.isEmpty())
            return QStringLiteral("\"%1\" has an empty part: it is no bundle identifier").arg(appId);
        if (!std::all_of(part.begin(), part.end(), isNameCharacter))
            return QStringLiteral("\"%1\" holds a character other than letters, digits, \"-\", \"_\" and \".\": it is "
                                  "no bundle identifier")
                .arg(appId);
    }
    return {};
}

QVariantMap JobFile::toPropertyList(const JobSettings& settings)
{
    auto putString = [](QVariantMap& map, const char* key, const QString& value) {
        if (!value.isNull())
            map.insert(QLatin1String(key), value);
    };

    QVariantList excluded;
    for (const ExcludedDevice& d : settings.excludedDevices) {
        QVariantMap rec = d.extra;
        putString(rec, "name", d.name);
        putString(rec, "uid", d.uid);
        if (d.type)
            rec.insert(QStringLiteral("type"), qint64(*d.type));
        if (d.status.isValid())
            rec.insert(QStringLiteral("status"), d.status);
        if (d.doneTime.isValid())
            rec.insert(QStringLiteral("done_time"), d.doneTime);
        excluded.append(rec);
    }

    QVariantList files;
    for (const FileEntryPtr& f : settings.filePaths) {
        QVariantMap rec;
        putString(rec, "path", f->path);
        putString(rec, "directory", f->directory);
        if (f->filesize)
            rec.insert(QStringLiteral("filesize"), quint64(*f->filesize));
        files.append(rec);
    }

    QVariantMap fileConfig;
    fileConfig.insert(QStringLiteral("isRecursive"), settings.isRecursive);
    fileConfig.insert(QStringLiteral("recursiveDepth"), qint64(settings.recursiveDepth));
    fileConfig.insert(QStringLiteral("isAllowedPatternRegex"), settings.isAllowedPatternRegex);
    putString(fileConfig, "allowedPattern", settings.allowedPattern);
    fileConfig.insert(QStringLiteral("isIgnoredPatternRegex"), settings.isIgnoredPatternRegex);
    putString(fileConfig, "ignoredPattern", settings.ignoredPattern);
    fileConfig.insert(QStringLiteral("filePaths"), files);

    QVariantMap transConfig;
    putString(transConfig, "appId", settings.appId);
    putString(transConfig, "folder", settings.folder);

    QVariantMap root;
    root.insert(QStringLiteral("excludedDevices"), excluded);
    root.insert(QStringLiteral("fileConfig"), fileConfig);
    root.insert(QStringLiteral("transConfig"), transConfig);
    return root;
}

bool JobFile::write(const JobSettings& settings, const QString& path, JobError* error)
{
    const auto payload = plist::toBinary(toPropertyList(settings));
    if (!payload) {
        *error = JobError {
            kWriteDomain, NotAPropertyList, QStringLiteral("The job cannot be written as a property list."), {}};
        return false;
    }
    QByteArray content(4, '\0');
    qToLittleEndian<quint32>(crc32(*payload), content.data());
    content += *payload;

    // QSaveFile writes beside the target and renames over it only once everything is on
    // disk, so a failed write leaves the previous file as it was.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size() || !file.commit()) {
        *error = JobError {kWriteDomain, Unwritable, QStringLiteral("The job file cannot be written."),
            QStringLiteral("%1: %2").arg(path, file.errorString())};
        return false;
    }
    return true;
}

std::optional<JobSettings> JobFile::read(const QString& path, bool noChecksum, JobError* error)
{
    QFile file(path);
    QByteArray content;
    if (file.open(QIODevice::ReadOnly))
        content = file.readAll();
    if (content.size() < 4) {
        *error = JobError {kReadDomain, Unreadable, kInvalidFile,
            file.error() != QFileDevice::NoError ? QStringLiteral("%1: %2").arg(path, file.errorString())
                                                 : QStringLiteral("%1: shorter than 4 bytes").arg(path)};
        return std::nullopt;
    }
    return fromBytes(content, noChecksum, error);
}

std::optional<JobSettings> JobFile::fromBytes(const QByteArray& content, bool noChecksum, JobError* error)
{
    if (content.size() < 4) {
        *error = JobError {kReadDomain, Unreadable, kInvalidFile, QStringLiteral("shorter than 4 bytes")};
        return std::nullopt;
    }
    const QByteArray payload = content.mid(4);
    if (!noChecksum && qFromLittleEndian<quint32>(content.constData()) != crc32(payload)) {
        *error = JobError {kReadDomain, ChecksumMismatch, QStringLiteral("Corrupted file!"), {}};
        return std::nullopt;
    }
    QString parseError;
    const auto parsed = plist::parse(payload, &parseError);
    if (!parsed) {
        // The property-list reader's own error, as the platform's reader reports it.
        *error = JobError {plist::kErrorDomain, plist::kReadCorruptError,
            QStringLiteral("The data couldn't be read because it isn't in the correct format."), parseError};
        return std::nullopt;
    }
    QString fault;
    auto settings = settingsFromPayload(*parsed, &fault);
    if (!settings)
        *error = JobError {kReadDomain, Unreadable, kInvalidFile, fault};
    return settings;
}

}  // namespace kestrap
