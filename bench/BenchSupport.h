#pragma once

#include <QElapsedTimer>
#include <algorithm>
#include <cstdio>
#include <functional>

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
