// Turning the chosen files and folders into the list of files a run sends.

#include "job/SendPlan.h"

#include "util/Helpers.h"
#include "util/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <dirent.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unicode/uregex.h>

namespace kestrap {

namespace {

enum class Kind { Folder, Other, Unreadable };

Kind kindOf(const QByteArray& path, struct stat* st = nullptr)
{
    struct stat local;
    struct stat* s = st ? st : &local;
    if (::lstat(path.constData(), s) != 0)
        return Kind::Unreadable;
    return S_ISDIR(s->st_mode) ? Kind::Folder : Kind::Other;
}

// An ICU regular expression with no options, searched anywhere in a path.
class PathRegex {
public:
    explicit PathRegex(const QString& pattern)
    {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError;
        m_re = uregex_open(
            reinterpret_cast<const UChar*>(pattern.utf16()), int32_t(pattern.size()), 0, &parseError, &status);
        if (U_FAILURE(status)) {
            if (m_re)
                uregex_close(m_re);
            m_re = nullptr;
        }
    }
    ~PathRegex()
    {
        if (m_re)
            uregex_close(m_re);
    }
    PathRegex(const PathRegex&) = delete;
    PathRegex& operator=(const PathRegex&) = delete;

    bool isValid() const { return m_re != nullptr; }

    bool foundIn(const QString& text) const
    {
        UErrorCode status = U_ZERO_ERROR;
        uregex_setText(m_re, reinterpret_cast<const UChar*>(text.utf16()), int32_t(text.size()), &status);
        if (U_FAILURE(status))
            return false;
        const bool found = uregex_find(m_re, 0, &status);
        return U_SUCCESS(status) && found;
    }

private:
    URegularExpression* m_re = nullptr;
};

// Keeps (admit) or drops (!admit) the entries that a pattern matches. A pattern is either a
// regular expression searched in the whole local path, or extensions separated by ";",
// compared exactly (case-sensitive, no trimming; an empty part stands for "no extension").
void applyPattern(std::vector<SendEntryPtr>& files, const QString& pattern, bool isRegex, bool admit)
{
    std::vector<SendEntryPtr> kept;
    kept.reserve(files.size());
    if (isRegex) {
        const PathRegex re(pattern);
        if (!re.isValid())
            return;
        for (auto& entry : files)
            if (re.foundIn(entry->path) == admit)
                kept.push_back(std::move(entry));
    } else {
        if (pattern.isNull())
            return;
        const QStringList parts = pattern.split(u';');
        for (auto& entry : files)
            if (parts.contains(PathExtensionView(entry->path)) == admit)
                kept.push_back(std::move(entry));
    }
    files = std::move(kept);
}

// Sets every entry's size. A file that vanished since it was chosen keeps its place with
// size 0: its copy fails on every device and is logged there, which tells the operator more
// than a silently shorter list would. Each stat is a system call of its own, the bulk of the
// cost of a large list, so big lists are measured by a few threads at once.
void measureSizes(std::vector<SendEntryPtr>& files)
{
    auto measure = [&files](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            struct stat st;
            const bool readable = kindOf(QFile::encodeName(files[i]->path), &st) != Kind::Unreadable;
            files[i]->filesize = readable ? std::uint64_t(st.st_size) : 0;
        }
    };
    constexpr std::size_t kPerThread = 4096;
    const std::size_t threads
        = std::clamp<std::size_t>(files.size() / kPerThread, 1, std::max(1u, std::thread::hardware_concurrency()));
    if (threads == 1) {
        measure(0, files.size());
        return;
    }
    std::vector<std::thread> workers;
    const std::size_t chunk = (files.size() + threads - 1) / threads;
    for (std::size_t t = 1; t < threads; ++t)
        workers.emplace_back(measure, std::min(files.size(), t * chunk), std::min(files.size(), (t + 1) * chunk));
    measure(0, std::min(files.size(), chunk));
    for (auto& w : workers)
        w.join();
}

QStringView trimSpacesAndTabs(const QString& s)
{
    QStringView v(s);
    while (!v.isEmpty() && (v.front() == u' ' || v.front() == u'\t'))
        v = v.mid(1);
    while (!v.isEmpty() && (v.back() == u' ' || v.back() == u'\t'))
        v.chop(1);
    return v;
}

}  // namespace

FileEntryPtr SendPlan::infoOfFile(const QString& path)
{
    auto entry = std::make_shared<FileEntry>();
    entry->path = path;
    entry->directory = QFileInfo(path).isDir() ? LastPathComponent(path) : QStringLiteral("");
    return entry;
}

void SendPlan::recurFolder(const JobSettings& settings, const QString& localFolder, const QString& remoteFolder,
    std::vector<SendEntryPtr>& fileArray, std::int32_t depth)
{
    if (depth >= settings.recursiveDepth)
        return;
    const QByteArray local = QFile::encodeName(localFolder);
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(local.constData()), ::closedir);
    if (!dir)
        return;
    const QByteArray prefix = local.endsWith('/') ? local : local + '/';
    while (const dirent* ent = ::readdir(dir.get())) {
        const char* name = ent->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        const QByteArray childPath = prefix + name;
        // The directory entry's type saves a stat; only file systems that leave it unknown need one.
        bool isFolder = ent->d_type == DT_DIR;
        if (ent->d_type == DT_UNKNOWN)
            isFolder = kindOf(childPath) == Kind::Folder;
        if (isFolder) {
            recurFolder(settings, QFile::decodeName(childPath), PathJoin(remoteFolder, QFile::decodeName(name)),
                fileArray, depth + 1);
        } else {
            auto entry = std::make_shared<SendEntry>();
            entry->directory = remoteFolder;
            entry->path = QFile::decodeName(childPath);
            fileArray.push_back(std::move(entry));
        }
    }
}

SendPlan SendPlan::collect(const JobSettings& settings)
{
    SendPlan plan;
    std::vector<SendEntryPtr>& files = plan.m_files;
    for (const FileEntryPtr& entry : settings.filePaths) {
        if (kindOf(QFile::encodeName(entry->path)) == Kind::Folder) {
            if (settings.isRecursive)
                recurFolder(settings, entry->path, entry->directory, files, 0);
        } else {
            files.push_back(entry);
        }
    }

    if (!IsEmpty(settings.allowedPattern) || !IsEmpty(settings.ignoredPattern)) {
        if (trimSpacesAndTabs(settings.allowedPattern) != QLatin1String("*"))
            applyPattern(files, settings.allowedPattern, settings.isAllowedPatternRegex, true);
        if (!IsEmpty(settings.ignoredPattern))
            applyPattern(files, settings.ignoredPattern, settings.isIgnoredPatternRegex, false);
    }

    measureSizes(files);
    for (const SendEntryPtr& entry : files)
        plan.m_totalFileSize += *entry->filesize;
    return plan;
}

QString SendPlan::remoteFolderOf(const QString& jobFolder, const SendEntry& entry)
{
    QString folder = PathJoin(jobFolder, entry.directory);
    while (folder.contains(QLatin1String("//")))
        folder.replace(QLatin1String("//"), QLatin1String("/"));
    return folder;
}

QString SendPlan::remotePathOf(const QString& jobFolder, const SendEntry& entry)
{
    return PathJoin(PathJoin(QStringLiteral("/"), remoteFolderOf(jobFolder, entry)), LastPathComponent(entry.path));
}

}  // namespace kestrap
