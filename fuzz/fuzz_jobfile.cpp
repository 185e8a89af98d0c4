// Job files over arbitrary bytes, read with and without the checksum, then collected into a
// send plan over a small tree: reading must end without a fault, and wherever a job file
// sends a file, it lands below the job's folder, never beside or above it.

#include "job/JobSettings.h"
#include "job/SendPlan.h"
#include "util/Paths.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>
#include <cstdio>

using namespace kestrap;

namespace {

// a.txt, b.jpg, sub/c.png, sub/deep/d.pdf: enough for the patterns and the depth to matter.
const QString& treeRoot()
{
    static QTemporaryDir dir;
    static const QString root = [] {
        const QString r = dir.path() + QStringLiteral("/tree");
        QDir().mkpath(r + QStringLiteral("/sub/deep"));
        for (const char* name : {"a.txt", "b.jpg", "sub/c.png", "sub/deep/d.pdf"}) {
            QFile f(r + u'/' + QLatin1String(name));
            if (f.open(QIODevice::WriteOnly))
                f.write("x");
        }
        return r;
    }();
    return root;
}

[[noreturn]] void escaped(const QString& folder, const QString& remote)
{
    std::fprintf(stderr, "remote path %s is not below the job's folder %s\n", qPrintable(remote), qPrintable(folder));
    __builtin_trap();
}

// Below the job's folder: the folder's own path, then at least one name, none of them "..".
void checkBelow(const QString& jobFolder, const QString& remote)
{
    const QString root = PathJoin(QStringLiteral("/"), SendPlan::remoteFolderOf(jobFolder, SendEntry {}));
    const QString prefix = root.endsWith(u'/') ? root : root + u'/';
    if (!remote.startsWith(prefix) || remote.size() == prefix.size())
        escaped(jobFolder, remote);
    for (const QStringView part : QStringView(remote).mid(prefix.size()).split(u'/'))
        if (part == u"..")
            escaped(jobFolder, remote);
}

// The entry's path moved into the tree; nothing when it would leave it (a walk of "/" to
// any depth is no test of the job file, only of the machine's patience).
std::optional<QString> inTree(const QString& path)
{
    const QString moved = treeRoot() + (path.startsWith(u'/') ? path : u'/' + path);
    const QString clean = QDir::cleanPath(moved);
    if (clean != treeRoot() && !clean.startsWith(treeRoot() + u'/'))
        return std::nullopt;
    return moved;
}

void exercise(const JobSettings& read)
{
    // Entries the tree cannot stand in for are checked as files; "/" is always a folder,
    // whose files are walked below the job's folder, never sent as "/" itself.
    for (const FileEntryPtr& entry : read.filePaths)
        if (LastPathComponent(entry->path) != QLatin1String("/"))
            checkBelow(read.folder, SendPlan::remotePathOf(read.folder, *entry));

    JobSettings settings = read;
    settings.filePaths.clear();
    for (const FileEntryPtr& entry : read.filePaths) {
        if (const auto moved = inTree(entry->path)) {
            auto copy = std::make_shared<FileEntry>(*entry);
            copy->path = *moved;
            settings.filePaths.push_back(std::move(copy));
        }
    }
    const SendPlan plan = SendPlan::collect(settings);
    for (const SendEntryPtr& entry : plan.files())
        checkBelow(settings.folder, SendPlan::remotePathOf(settings.folder, *entry));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const bool noChecksum : {false, true}) {
        JobError error;
        if (const auto settings = JobFile::fromBytes(bytes, noChecksum, &error))
            exercise(*settings);
        else if (error.description.isEmpty())
            __builtin_trap();  // a refusal always says why
    }
    return 0;
}
