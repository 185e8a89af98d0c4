#pragma once

#include <QString>
#include <QVariant>
#include <cstdint>
#include <optional>

namespace kestrap::app {

// Device status as text: "Idle" for none, the status's own text, "Unknown" otherwise.
QString DeviceStatusTransformer(std::optional<int> status);
// A byte count as text, "Zero" when there is none; 0 is a count like any other.
QString CapacityTransformer(std::optional<std::uint64_t> bytes);

}  // namespace kestrap::app
