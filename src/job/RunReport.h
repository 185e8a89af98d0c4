#pragma once

#include "job/Records.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

namespace kestrap {

// Who got what in a run, one row a device, for the operator asked "which iPads got the new
// manual, and which failed?": as CSV (RFC 4180, UTF-8, a header row) or as JSON.
namespace RunReport {

// What the report says of one device. Filled in one place (rowOf), so the report follows
// wherever the run's values come from.
struct Row {
    QString name;
    QString udid;
    QString serialNumber;
    QString model;  // as people call it ("iPad (9th generation)")
    QString osVersion;
    QString hubPlace;
    QString status;  // "Finished", "Failed", ...
    int sent = 0;
    int unchanged = 0;
    int removed = 0;
    int failed = 0;
    std::uint64_t bytes = 0;
    double seconds = 0;
    QString firstCause;  // the first failed file's cause, else the device's; empty when none
};

// A device's row from its device row and its progress record (none when it was not served).
// Asks the device for what it tells of itself, so it may block on device I/O.
Row rowOf(const DeviceRow& row, const ProgressRecord* record);

QByteArray toCsv(const std::vector<Row>& rows);
QByteArray toJson(const std::vector<Row>& rows);

// Whether a report can be written at path: its folder exists and takes files. Checked before
// a run, so a bad path is said before any device is touched.
JobResult checkWritable(const QString& path);
// Writes the report, as JSON when path ends in ".json", else as CSV, through a temporary
// that replaces the file only once it is whole.
JobResult write(const QString& path, const std::vector<Row>& rows);

}  // namespace RunReport

}  // namespace kestrap
