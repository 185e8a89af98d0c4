#pragma once

#include <QString>
#include <QVariant>
#include <cstdint>
#include <optional>

namespace kestrap {
struct ProgressRecord;
}

namespace kestrap::app {

// Device status as text: "Idle" for none, the status's own text, "Unknown" otherwise.
QString DeviceStatusTransformer(std::optional<int> status);
// A byte count as text, "Zero" when there is none; 0 is a count like any other.
QString CapacityTransformer(std::optional<std::uint64_t> bytes);
// How a device's serving stands, from the record's typed values: "Waiting", "Sending",
// "Finished", "Finished, 2 failed", "Failed: app not installed", "Cancelled".
QString TransferStateText(const ProgressRecord& record);
// The counts of a serving: "38 sent, 2 failed, 5 unchanged" (zero counts left out).
QString TransferCountsText(const ProgressRecord& record);

}  // namespace kestrap::app
