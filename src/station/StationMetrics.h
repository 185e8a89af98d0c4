#pragma once

#include "job/RunStatus.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace kestrap::station {

// The run's counters as Prometheus keeps them: never going down. A device's record starts
// from zero each time the device is served again, so what a serving counted is banked here
// when its next one is seen, and each ended serving is counted, and timed, once.
//
// Main thread only.
class StationMetrics {
public:
    // Takes in the run as it is now; call often enough to see each serving (every scrape,
    // and about once a second).
    void observe(const RunStatus& seen);

    // The text exposition format, version 0.0.4. attached: the devices plugged in now;
    // startedAt: when the station began, in seconds since 1970.
    QByteArray text(const RunStatus& attached, const QString& job, const QString& appId, double startedAt) const;

    static constexpr double kBuckets[] = {10, 30, 60, 120, 300, 600, 1200, 1800, 3600, 7200};

private:
    struct Counts {
        std::uint64_t filesSent = 0;
        std::uint64_t bytesSent = 0;
        std::uint64_t filesSkipped = 0;
        std::uint64_t filesRemoved = 0;
        std::map<std::pair<int, int>, std::uint64_t> failedByCause;  // (domain, code)
    };
    struct Serving {
        double started = 0;
        bool ended = false;
        Counts counts;
    };

    static Counts countsOf(const ProgressRecord& record);
    static void add(Counts& into, const Counts& more);
    void ended(const DeviceProgress& device);
    Counts totals() const;

    QHash<QString, Serving> m_current;  // by device uid: its latest serving
    Counts m_banked;  // servings no longer current
    std::map<QString, std::uint64_t> m_servedByResult;
    std::vector<std::uint64_t> m_bucketCounts = std::vector<std::uint64_t>(std::size(kBuckets), 0);
    std::uint64_t m_servings = 0;
    double m_secondsSum = 0;
    double m_lastEnded = 0;  // seconds since 1970 of the last serving's end
};

// A label value escaped for the text format: backslash, double quote and line feed.
QString escapeLabel(const QString& value);

}  // namespace kestrap::station
