#pragma once

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
