#pragma once

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <optional>
#include <unistd.h>
#include <vector>

// Runs the main thread's event loop until done() says so, looking every 5 ms. It sleeps
// there as a program's would; processEvents() in a loop would spin and take a core.
template <typename Done> void serveEventLoopUntil(Done done)
{
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    poll.start();
    loop.exec();
}

// Runs the main thread's event loop until done() says so, looking each time `sender` emits
// `signal`: the run's end is measured when it happens, not at the next look of a timer.
template <typename Sender, typename Signal, typename Done>
void serveEventLoopUntilSignal(const Sender* sender, Signal signal, Done done)
{
    if (done())
        return;
    QEventLoop loop;
    QObject::connect(sender, signal, &loop, [&] {
        if (done())
            loop.quit();
    });
    loop.exec();
}

// Writes back what a run wrote and drops it from the page cache, so that the next run neither
// pays for its writeback nor finds less reusable memory. The memory matters on a virtual
// machine: a page the guest has never touched costs the host a fault the first time it is
// written, and a run that copies gigabytes into the cache ran up to five times slower than
// the same copy into pages an earlier run had freed.
inline void settleDisk(const QString& written = QString())
{
    ::sync();
    if (written.isEmpty())
        return;
    QDirIterator it(written, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const int fd = ::open(QFile::encodeName(it.next()).constData(), O_RDONLY | O_CLOEXEC);
        if (fd >= 0) {
            ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
            ::close(fd);
        }
    }
}

// Reads every file under root, so that a run finds its payload in the page cache. The
// machine's host reclaims memory left untouched for about a minute (DAMON "pageout"), the
// payload included: without this, a run read it from the page cache or from the disk by
// chance, and the same job took 0.8 s or 3.5 s.
inline void warmFiles(const QString& root)
{
    std::vector<char> buffer(1024 * 1024);
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const int fd = ::open(QFile::encodeName(it.next()).constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        while (::read(fd, buffer.data(), buffer.size()) > 0) { }
        ::close(fd);
    }
}

// Every run writes into a folder of its own and nothing is deleted until the end: a
// filesystem without a journal (ext4 here) scans past recently freed inodes on every create,
// so a run right after a large delete would pay for it, whichever code it measures.
class Scratch {
public:
    Scratch() = default;
    // Under `base` instead of the temporary folder.
    explicit Scratch(const QString& base) : m_dir(base + QStringLiteral("/kestrap-bench-XXXXXX")) { }
    QString fresh(const char* name) { return m_dir.filePath(QStringLiteral("%1%2").arg(name).arg(++m_runs)); }

private:
    QTemporaryDir m_dir;
    int m_runs = 0;
};

// Folders for throughput runs that measure the work of a copy rather than this machine's
// memory and disk: in memory (/dev/shm) where the machine has it, each used by every run of
// a case, so that runs after the first replace the files of the run before. Fresh folders on
// disk made the same job take 0.5 s or 2.3 s, and its baseline 0.4 s or 1.7 s, by the state
// of the host: a fresh page is faulted in from the host (which takes back memory the guest
// leaves free for about two seconds), and ext4 scans past recently freed inodes and blocks.
// A replaced file frees its pages just as the next file takes new ones.
class SteadyScratch {
public:
    SteadyScratch() : m_scratch(memoryBase()) { }
    QString folder(const char* name) { return m_scratch.fresh(name); }

private:
    // /dev/shm where the machine has it, else the temporary folder.
    static QString memoryBase()
    {
        return QFileInfo(QStringLiteral("/dev/shm")).isWritable() ? QStringLiteral("/dev/shm") : QDir::tempPath();
    }

    Scratch m_scratch;
};

// The best of several runs of fn, in milliseconds: the least disturbed measure of its cost.
inline double bestOfMs(int runs, const std::function<void()>& fn)
{
    double best = 1e300;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        fn();
        best = std::min(best, double(t.nsecsElapsed()) / 1e6);
    }
    return best;
}

inline void reportRatio(const char* what, double ms, const char* baseline, double baselineMs, double target)
{
    const double ratio = ms / baselineMs;
    std::printf("%s: %.1f ms; %s: %.1f ms; ratio %.2fx (target at most %.2fx) %s\n", what, ms, baseline, baselineMs,
        ratio, target, ratio <= target ? "OK" : "MISSED");
}

// A file of size random bytes (and its folders), so that nothing along the way can
// compress or share it.
inline void writeRandom(const QString& path, qint64 size)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    std::vector<quint32> block(std::size_t(std::min<qint64>(size, 1024 * 1024) + 3) / 4);
    for (qint64 left = size; left > 0;) {
        QRandomGenerator::global()->fillRange(block.data(), qsizetype(block.size()));
        const qint64 n = std::min<qint64>(left, qint64(block.size() * 4));
        f.write(reinterpret_cast<const char*>(block.data()), n);
        left -= n;
    }
}

// The baseline of copies: a plain buffered copy of one file, 1 MiB at a time, through a
// buffer the thread keeps (a fresh zeroed one per file cost the baseline a tenth of its time).
constexpr std::size_t kPlainCopyBuffer = 1024 * 1024;
inline bool plainCopy(const QString& from, const QString& to)
{
    std::FILE* in = std::fopen(QFile::encodeName(from).constData(), "rb");
    std::FILE* out = std::fopen(QFile::encodeName(to).constData(), "wb");
    bool ok = in && out;
    thread_local const auto buffer = std::make_unique_for_overwrite<char[]>(kPlainCopyBuffer);
    while (ok) {
        const std::size_t n = std::fread(buffer.get(), 1, kPlainCopyBuffer, in);
        if (n == 0)
            break;
        ok = std::fwrite(buffer.get(), 1, n, out) == n;
    }
    if (in)
        std::fclose(in);
    if (out)
        ok = std::fclose(out) == 0 && ok;
    return ok;
}

// The best of `runs` runs of two jobs on one farm, taken in turn; nothing when a run of either
// failed (a time below 0).
inline std::optional<std::pair<double, double>> bestOfPairs(
    int runs, const std::function<double()>& first, const std::function<double()>& second)
{
    std::pair<double, double> best {1e300, 1e300};
    for (int run = 0; run < runs; ++run) {
        const double a = first();
        const double b = second();
        if (a < 0 || b < 0)
            return std::nullopt;
        best = {std::min(best.first, a), std::min(best.second, b)};
    }
    return best;
}
