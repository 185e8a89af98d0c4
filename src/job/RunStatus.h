#pragma once

#include "job/Records.h"

#include <QDateTime>
#include <QString>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrap {

// Where a device of a run stands, as every front end counts it.
enum class DeviceState : int {
    Waiting = 0,  // plugged in, not served yet (or idle)
    Sending = 1,
    Finished = 2,
    Failed = 3,
    Excluded = 4,
};

// One device of a run: its row's values and its serving's record, read together. Front ends
// word these themselves; nothing here is display text but the device's own name and the
// cause's text.
struct DeviceProgress {
    QString uid;
    QString name;
    QString productType;
    QString icon;
    std::optional<int> status;  // the row's "status" number
    std::optional<QDateTime> doneTime;
    DeviceState state = DeviceState::Waiting;
    bool served = false;  // a record exists: its serving has begun at some time
    ProgressRecord record;  // phase Waiting and zeros until served
    // Seconds the last serving took; 0 while it runs or before it began.
    double seconds() const;
};

struct RunCounts {
    int finished = 0;
    int failed = 0;
    int sending = 0;
    int waiting = 0;
    int excluded = 0;
};

// A run as it is now: every device, with the counts by state.
struct RunStatus {
    std::vector<DeviceProgress> devices;
    RunCounts counts;
};

DeviceState DeviceStateOf(const DeviceRow& row, const ProgressRecord* record);
// Rows in their order, each with the record of its device (by uid), if any.
RunStatus RunStatusOf(const std::vector<DeviceRowPtr>& rows, const std::vector<ProgressRecord>& records);
// The lower-case name of a state, as the JSON and metrics of a run spell it ("sending").
QString DeviceStateName(DeviceState state);
// The lower-case name of a phase ("cancelled").
QString CopyPhaseName(CopyPhase phase);

}  // namespace kestrap
