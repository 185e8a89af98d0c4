// Turning the chosen files and folders into the list of files a run sends.

#include "job/SendPlan.h"

#include "util/Helpers.h"
#include "util/Paths.h"

#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <memory>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unicode/uregex.h>
#include <utility>

namespace kestrap {

namespace {

enum class Kind { Folder, File, Special, Missing };

// What a path is, links followed: a link to a folder is a folder, a link to a FIFO is a FIFO.
// A dangling link or a loop of links is Missing, with errno kept in *err.
Kind kindOf(const QByteArray& path, struct stat* st = nullptr, int* err = nullptr)
{
    struct stat local;
    struct stat* s = st ? st : &local;
    if (::stat(path.constData(), s) != 0) {
        if (err)
            *err = errno;
        return Kind::Missing;
    }
    if (S_ISDIR(s->st_mode))
        return Kind::Folder;
    return S_ISREG(s->st_mode) ? Kind::File : Kind::Special;
}

SendEntryPtr failedEntry(const QString& path, const QString& directory, const QString& error)
{
    auto entry = std::make_shared<SendEntry>();
    entry->path = path;
    entry->directory = directory;
    entry->filesize = 0;
    entry->error = error;
    return entry;
}

const QString kNotRegular = QStringLiteral("not a regular file");

// An ICU regular expression with no options, searched anywhere in a path.
class PathRegex {
public:
    explicit PathRegex(const QString& pattern)
    {
        UErrorCode status = U_ZERO_ERROR;
        UParseError parseError;
        m_re = uregex_open(
            reinterpret_cast<const UChar*>(pattern.utf16()), int32_t(pattern.size()), 0, &parseError, &status);
        if (U_SUCCESS(status))
            uregex_setTimeLimit(m_re, kMatchStepLimit, &status);
        if (U_FAILURE(status)) {
            m_error = QString::fromLatin1(u_errorName(status));
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
    const QString& error() const { return m_error; }

    // Nothing when the match did not end within its step limit.
    std::optional<bool> foundIn(const QString& text) const
    {
        UErrorCode status = U_ZERO_ERROR;
        uregex_setText(m_re, reinterpret_cast<const UChar*>(text.utf16()), int32_t(text.size()), &status);
        if (U_FAILURE(status))
            return false;
        const bool found = uregex_find(m_re, 0, &status);
        if (status == U_REGEX_TIME_OUT)
            return std::nullopt;
        return U_SUCCESS(status) && found;
    }

private:
    // A pattern that backtracks without end would hold Start for ever: a match may take about
    // this many milliseconds' worth of steps, far beyond what any sane pattern needs on a path.
    static constexpr int32_t kMatchStepLimit = 200;

    URegularExpression* m_re = nullptr;
    QString m_error;
};

// Keeps (admit) or drops (!admit) the entries that a pattern matches. A pattern is either a
// regular expression searched in the whole local path, or extensions separated by ";",
// compared exactly (case-sensitive, no trimming; an empty part stands for "no extension").
// A regular expression that does not compile, or runs away on a path, is an error: sending
// everything, or nothing, in its place is not what the user asked for.
QString applyPattern(std::vector<SendEntryPtr>& files, const QString& pattern, bool isRegex, bool admit)
{
    const QString which = admit ? QStringLiteral("allowed") : QStringLiteral("ignored");
    std::vector<SendEntryPtr> kept;
    kept.reserve(files.size());
    if (isRegex) {
        const PathRegex re(pattern);
        if (!re.isValid())
            return QStringLiteral("The %1 pattern is not a valid regular expression (%2).").arg(which, re.error());
        for (auto& entry : files) {
            const std::optional<bool> found = re.foundIn(entry->path);
            if (!found)
                return QStringLiteral("The %1 pattern takes too long to match %2.").arg(which, entry->path);
            if (*found == admit)
                kept.push_back(std::move(entry));
        }
    } else {
        if (pattern.isNull())
            return {};
        const QStringList parts = pattern.split(u';');
        for (auto& entry : files)
            if (parts.contains(PathExtensionView(entry->path)) == admit)
                kept.push_back(std::move(entry));
    }
    files = std::move(kept);
    return {};
}

// Sets every entry's size. A file that vanished since it was chosen keeps its place with
// size 0: its copy fails on every device and is logged there, which tells the operator more
// than a silently shorter list would. Each stat is a system call of its own, the bulk of the
// cost of a large list, so big lists are measured by a few threads at once.
void measureSizes(std::vector<SendEntryPtr>& files)
{
    auto measure = [&files](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (!files[i]->error.isEmpty())
                continue;
            struct stat st;
            const bool readable = kindOf(QFile::encodeName(files[i]->path), &st) == Kind::File;
            files[i]->filesize = readable ? std::uint64_t(st.st_size) : 0;
        }
    };
    // A thread costs about what 50 stats do: a job of 1,000 files starts 1 ms sooner with two.
    constexpr std::size_t kPerThread = 256;
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

namespace {

// Walks folders, links to folders included. The folders on the way down are remembered by
// device and inode, so a link back to one of them is not walked again: a loop ends.
class FolderWalk {
public:
    FolderWalk(const JobSettings& settings, std::vector<SendEntryPtr>& files, std::atomic<std::size_t>* found)
        : m_settings(settings), m_files(files), m_found(found)
    {
    }

    void walk(const QByteArray& local, const QString& remoteFolder, std::int32_t depth)
    {
        if (depth >= m_settings.recursiveDepth)
            return;
        struct stat st;
        if (::stat(local.constData(), &st) != 0)
            return fail(
                local, remoteFolder, QStringLiteral("the folder cannot be read: %1").arg(qt_error_string(errno)));
        const std::pair<dev_t, ino_t> id {st.st_dev, st.st_ino};
        if (std::find(m_ancestors.begin(), m_ancestors.end(), id) != m_ancestors.end())
            return;  // a link back up: everything below was or will be walked already
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(local.constData()), ::closedir);
        if (!dir)
            return fail(
                local, remoteFolder, QStringLiteral("the folder cannot be read: %1").arg(qt_error_string(errno)));
        m_ancestors.push_back(id);
        const QByteArray prefix = local.endsWith('/') ? local : local + '/';
        for (;;) {
            errno = 0;
            const dirent* ent = ::readdir(dir.get());
            if (!ent) {
                if (errno != 0)
                    fail(local, remoteFolder,
                        QStringLiteral("the folder could not be read to its end: %1").arg(qt_error_string(errno)));
                break;
            }
            visit(prefix, ent, remoteFolder, depth);
        }
        m_ancestors.pop_back();
    }

private:
    void visit(const QByteArray& prefix, const dirent* ent, const QString& remoteFolder, std::int32_t depth)
    {
        const char* name = ent->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            return;
        const QByteArray childPath = prefix + name;
        // The directory entry's type saves a stat for plain files and folders; links, and
        // file systems that leave the type unknown, need one.
        Kind kind = Kind::File;
        int err = 0;
        switch (ent->d_type) {
        case DT_DIR:
            kind = Kind::Folder;
            break;
        case DT_REG:
            kind = Kind::File;
            break;
        case DT_LNK:
        case DT_UNKNOWN:
            kind = kindOf(childPath, nullptr, &err);
            break;
        default:
            kind = Kind::Special;
            break;
        }
        const QString childName = QFile::decodeName(name);
        switch (kind) {
        case Kind::Folder:
            walk(childPath, PathJoin(remoteFolder, childName), depth + 1);
            break;
        case Kind::File:
            add(childPath, remoteFolder);
            break;
        case Kind::Special:
            m_files.push_back(failedEntry(QFile::decodeName(childPath), remoteFolder, kNotRegular));
            break;
        case Kind::Missing:
            m_files.push_back(failedEntry(QFile::decodeName(childPath), remoteFolder,
                QStringLiteral("the link leads nowhere: %1").arg(qt_error_string(err))));
            break;
        }
    }

    void add(const QByteArray& path, const QString& remoteFolder)
    {
        auto entry = std::make_shared<SendEntry>();
        entry->directory = remoteFolder;
        entry->path = QFile::decodeName(path);
        m_files.push_back(std::move(entry));
        if (m_found)
            m_found->fetch_add(1, std::memory_order_relaxed);
    }

    // A folder that cannot be read is an entry of its own, so that no file of it is missing
    // in silence; patterns do not apply to it, since what it holds is unknown.
    void fail(const QByteArray& folder, const QString& remoteFolder, const QString& why)
    {
        m_failedFolders.push_back(failedEntry(QFile::decodeName(folder), remoteFolder, why));
    }

    const JobSettings& m_settings;
    std::vector<SendEntryPtr>& m_files;
    std::atomic<std::size_t>* m_found;
    std::vector<std::pair<dev_t, ino_t>> m_ancestors;

public:
    std::vector<SendEntryPtr> m_failedFolders;
};

}  // namespace

void SendPlan::recurFolder(const JobSettings& settings, const QString& localFolder, const QString& remoteFolder,
    std::vector<SendEntryPtr>& fileArray, std::int32_t depth)
{
    FolderWalk walk(settings, fileArray, nullptr);
    walk.walk(QFile::encodeName(localFolder), remoteFolder, depth);
    fileArray.insert(fileArray.end(), walk.m_failedFolders.begin(), walk.m_failedFolders.end());
}

SendPlan SendPlan::collect(const JobSettings& settings, std::atomic<std::size_t>* found)
{
    SendPlan plan;
    std::vector<SendEntryPtr>& files = plan.m_files;
    FolderWalk walk(settings, files, found);
    for (const FileEntryPtr& entry : settings.filePaths) {
        int err = 0;
        switch (kindOf(QFile::encodeName(entry->path), nullptr, &err)) {
        case Kind::Folder:
            if (settings.isRecursive)
                walk.walk(QFile::encodeName(entry->path), entry->directory, 0);
            break;
        case Kind::Special:
            files.push_back(failedEntry(entry->path, entry->directory, kNotRegular));
            break;
        case Kind::File:
        case Kind::Missing:
            // A file that vanished since it was chosen keeps its place: its copy fails on every
            // device with the reason, which tells the operator more than a shorter list would.
            files.push_back(entry);
            break;
        }
    }

    if (!IsEmpty(settings.allowedPattern) || !IsEmpty(settings.ignoredPattern)) {
        if (trimSpacesAndTabs(settings.allowedPattern) != QLatin1String("*"))
            plan.m_error = applyPattern(files, settings.allowedPattern, settings.isAllowedPatternRegex, true);
        if (plan.m_error.isEmpty() && !IsEmpty(settings.ignoredPattern))
            plan.m_error = applyPattern(files, settings.ignoredPattern, settings.isIgnoredPatternRegex, false);
        if (!plan.m_error.isEmpty()) {
            files.clear();
            return plan;
        }
    }
    files.insert(files.end(), walk.m_failedFolders.begin(), walk.m_failedFolders.end());

    measureSizes(files);
    for (const SendEntryPtr& entry : files)
        plan.m_totalFileSize += *entry->filesize;
    return plan;
}

std::vector<SendEntryPtr> SendPlan::errors() const
{
    std::vector<SendEntryPtr> failed;
    for (const SendEntryPtr& entry : m_files)
        if (!entry->error.isEmpty())
            failed.push_back(entry);
    return failed;
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
