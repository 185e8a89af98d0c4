#pragma once
#include <QDir>
#include <QFileInfo>
#include <QRandomGenerator>

#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

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

// The baseline of copies: a plain buffered copy of one file, 1 MiB at a time.
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

inline bool plainCopy(const QString& from, const QString& to)
{
    std::FILE* in = std::fopen(QFile::encodeName(from).constData(), "rb");
    std::FILE* out = std::fopen(QFile::encodeName(to).constData(), "wb");
    bool ok = in && out;
    std::vector<char> buffer(1024 * 1024);
    while (ok) {
        const std::size_t n = std::fread(buffer.data(), 1, buffer.size(), in);
        if (n == 0)
            break;
        ok = std::fwrite(buffer.data(), 1, n, out) == n;
    }
    if (in)
        std::fclose(in);
    if (out)
        ok = std::fclose(out) == 0 && ok;
    return ok;
}
