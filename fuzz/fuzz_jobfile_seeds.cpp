// Writes the seed corpus of fuzz_jobfile: job files as the program writes them (binary, with
// their checksum) and as people edit them (XML, checksum left stale), with files and folders,
// patterns of both kinds, excluded devices, and the media area as the target.

#include "SeedFolder.h"
#include "job/JobSettings.h"
#include "util/Crc32.h"
#include "util/Plist.h"

#include <QtEndian>

using namespace kestrap;

namespace {

QByteArray withCrc(const QByteArray& payload, bool stale)
{
    QByteArray out(4, '\0');
    qToLittleEndian<quint32>(stale ? 0u : crc32(payload), out.data());
    return out + payload;
}

FileEntryPtr entry(const QString& path, const QString& directory)
{
    auto e = std::make_shared<FileEntry>();
    e->path = path;
    e->directory = directory;
    return e;
}

}  // namespace

int main(int argc, char** argv)
{
    SeedFolder seeds(argc, argv, "jcf");
    if (!seeds.valid())
        return 2;
    JobSettings plain;
    plain.appId = QStringLiteral("com.example.reader");
    plain.folder = QStringLiteral("Documents/In");
    plain.filePaths = {entry(QStringLiteral("/sub"), QStringLiteral("sub")), entry(QStringLiteral("/a.txt"), {})};

    JobSettings patterns = plain;
    patterns.allowedPattern = QStringLiteral("png;pdf;txt");
    patterns.ignoredPattern = QStringLiteral("^.*/deep/");
    patterns.isIgnoredPatternRegex = true;
    patterns.recursiveDepth = 1;

    JobSettings media = plain;
    media.appId = QStringLiteral("/");
    media.folder = QStringLiteral("/");
    media.isRecursive = false;
    media.allowedPattern = QStringLiteral("\\.(jpg|png)$");
    media.isAllowedPatternRegex = true;
    ExcludedDevice excluded;
    excluded.name = QStringLiteral("iPad 1");
    excluded.uid = QStringLiteral("0123456789abcdef0123456789abcdef01234567");
    excluded.type = 515;
    excluded.status = 2;
    media.excludedDevices.push_back(excluded);

    bool ok = true;
    for (const JobSettings& job : {plain, patterns, media}) {
        const QVariantMap root = JobFile::toPropertyList(job);
        ok = seeds.put(withCrc(plist::toBinary(root).value_or(QByteArray()), false)) && ok;
        ok = seeds.put(withCrc(plist::toXml(root).value_or(QByteArray()), true)) && ok;
    }
    return ok ? 0 : 1;
}
