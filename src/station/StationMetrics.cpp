#include "station/StationMetrics.h"

#include "Version.h"

#include <QTextStream>

namespace kestrap::station {

namespace {

// Records count seconds since 1 January 2001; Prometheus, since 1970.
constexpr double kSince1970 = 978307200.0;

const char* domainLabel(int domain)
{
    switch (ErrorDomain(domain)) {
    case ErrorDomain::None:
        return "none";
    case ErrorDomain::Lockdown:
        return "lockdown";
    case ErrorDomain::AFC:
        return "afc";
    case ErrorDomain::HouseArrest:
        return "house_arrest";
    case ErrorDomain::InstallationProxy:
        return "installation_proxy";
    case ErrorDomain::LocalFile:
        return "local_file";
    case ErrorDomain::Job:
        return "job";
    }
    return "unknown";
}

void family(QTextStream& out, const char* name, const char* type, const char* help)
{
    out << "# HELP " << name << ' ' << help << "\n# TYPE " << name << ' ' << type << '\n';
}

}  // namespace

QString escapeLabel(const QString& value)
{
    QString out;
    out.reserve(value.size());
    for (const QChar c : value) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'"')
            out += QStringLiteral("\\\"");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else
            out += c;
    }
    return out;
}

StationMetrics::Counts StationMetrics::countsOf(const ProgressRecord& record)
{
    Counts c;
    c.filesSent = std::uint64_t(std::max(record.files_sent, 0));
    c.filesSkipped = std::uint64_t(std::max(record.files_skipped, 0));
    c.filesRemoved = std::uint64_t(std::max(record.files_removed, 0));
    // Bytes of the files that ended well: the file in flight may yet fail, and a counter
    // must not go back.
    c.bytesSent = record.current_size;
    // A record keeps the causes of its first failed files; the rest are put down to its last.
    std::uint64_t named = 0;
    for (const FileFailure& f : record.failed_files) {
        ++c.failedByCause[{int(f.domain), f.code}];
        ++named;
    }
    if (const auto all = std::uint64_t(std::max(record.files_failed, 0)); all > named)
        c.failedByCause[{int(record.errorDomain), record.errorCode}] += all - named;
    return c;
}

void StationMetrics::add(Counts& into, const Counts& more)
{
    into.filesSent += more.filesSent;
    into.bytesSent += more.bytesSent;
    into.filesSkipped += more.filesSkipped;
    into.filesRemoved += more.filesRemoved;
    for (const auto& [cause, n] : more.failedByCause)
        into.failedByCause[cause] += n;
}

void StationMetrics::observe(const RunStatus& seen)
{
    for (const DeviceProgress& d : seen.devices) {
        if (!d.served || d.record.started == 0)
            continue;
        Serving& s = m_current[d.uid];
        if (s.started != d.record.started) {
            add(m_banked, s.counts);
            s = Serving {d.record.started, false, {}};
        }
        const Counts now = countsOf(d.record);
        // Never below what was counted: a record read half-way through a reset counts nothing back.
        if (now.filesSent >= s.counts.filesSent && now.bytesSent >= s.counts.bytesSent
            && now.filesRemoved >= s.counts.filesRemoved)
            s.counts = now;
        if (!s.ended && d.record.ended != 0) {
            s.ended = true;
            ended(d);
        }
    }
}

void StationMetrics::ended(const DeviceProgress& device)
{
    ++m_servedByResult[CopyPhaseName(device.record.phase)];
    const double seconds = device.seconds();
    ++m_servings;
    m_secondsSum += seconds;
    for (std::size_t i = 0; i < std::size(kBuckets); ++i)
        if (seconds <= kBuckets[i])
            ++m_bucketCounts[i];
    m_lastEnded = std::max(m_lastEnded, device.record.ended + kSince1970);
}

StationMetrics::Counts StationMetrics::totals() const
{
    Counts all = m_banked;
    for (const Serving& s : m_current)
        add(all, s.counts);
    return all;
}

QByteArray StationMetrics::text(
    const RunStatus& attached, const QString& job, const QString& appId, double startedAt) const
{
    QString body;
    QTextStream out(&body);
    family(out, "kestrap_devices", "gauge", "Devices plugged into the station, by state.");
    const std::pair<const char*, int> states[] = {{"waiting", attached.counts.waiting},
        {"sending", attached.counts.sending}, {"finished", attached.counts.finished},
        {"failed", attached.counts.failed}, {"excluded", attached.counts.excluded}};
    for (const auto& [state, n] : states)
        out << "kestrap_devices{state=\"" << state << "\"} " << n << '\n';

    family(out, "kestrap_devices_served_total", "counter", "Servings of a device that ended, by result.");
    for (const char* result : {"finished", "failed", "cancelled"}) {
        const auto it = m_servedByResult.find(QString::fromLatin1(result));
        out << "kestrap_devices_served_total{result=\"" << result << "\"} "
            << (it == m_servedByResult.end() ? 0 : it->second) << '\n';
    }

    const Counts all = totals();
    family(out, "kestrap_files_sent_total", "counter", "Files sent to devices.");
    out << "kestrap_files_sent_total " << all.filesSent << '\n';
    family(out, "kestrap_bytes_sent_total", "counter",
        "Bytes of the files that reached devices or were found there unchanged.");
    out << "kestrap_bytes_sent_total " << all.bytesSent << '\n';
    family(out, "kestrap_files_skipped_total", "counter", "Files left alone because the device held them unchanged.");
    out << "kestrap_files_skipped_total " << all.filesSkipped << '\n';
    family(out, "kestrap_files_removed_total", "counter",
        "Files and links a mirrored run took off devices, or a job taken back removed.");
    out << "kestrap_files_removed_total " << all.filesRemoved << '\n';
    family(out, "kestrap_files_failed_total", "counter", "Files a device did not get, by the cause's domain and code.");
    for (const auto& [cause, n] : all.failedByCause)
        out << "kestrap_files_failed_total{domain=\"" << domainLabel(cause.first) << "\",code=\"" << cause.second
            << "\"} " << n << '\n';

    family(out, "kestrap_device_seconds", "histogram", "Seconds the serving of one device took, from start to end.");
    for (std::size_t i = 0; i < std::size(kBuckets); ++i)
        out << "kestrap_device_seconds_bucket{le=\"" << kBuckets[i] << "\"} " << m_bucketCounts[i] << '\n';
    out << "kestrap_device_seconds_bucket{le=\"+Inf\"} " << m_servings << '\n';
    out << "kestrap_device_seconds_sum " << QString::number(m_secondsSum, 'f', 3) << '\n';
    out << "kestrap_device_seconds_count " << m_servings << '\n';

    family(out, "kestrap_last_served_timestamp_seconds", "gauge",
        "When the serving of a device last ended, in seconds since 1970; 0 before the first.");
    out << "kestrap_last_served_timestamp_seconds " << QString::number(m_lastEnded, 'f', 3) << '\n';
    family(out, "kestrap_start_time_seconds", "gauge", "When the station began, in seconds since 1970.");
    out << "kestrap_start_time_seconds " << QString::number(startedAt, 'f', 3) << '\n';
    family(out, "kestrap_run_info", "gauge", "The job the station runs.");
    out << "kestrap_run_info{job=\"" << escapeLabel(job) << "\",app_id=\"" << escapeLabel(appId) << "\"} 1\n";
    family(out, "kestrap_build_info", "gauge", "The program's version.");
    out << "kestrap_build_info{version=\"" << kVersion << "\"} 1\n";
    out.flush();
    return body.toUtf8();
}

}  // namespace kestrap::station
