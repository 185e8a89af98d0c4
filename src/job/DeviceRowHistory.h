#pragma once

#include "job/Records.h"

#include <QObject>
#include <cstddef>
#include <vector>

namespace kestrap {

class DeviceRoster;

// Every row the roster listed while this object lived, gone ones included, in arrival order:
// what a command-line run sums up at its end. A station lists a row for every time a device
// is plugged in, for days; a row nobody else holds any more (its device gone, its copy over)
// keeps its name, identifier, status and time, and lets its device object go, with the
// device record and values it holds.
//
// Threads: the main thread, as the roster.
class DeviceRowHistory : public QObject {
public:
    explicit DeviceRowHistory(DeviceRoster& roster);

    const std::vector<DeviceRowPtr>& rows() const { return m_rows; }

private:
    void releaseUnheldDevices();

    std::vector<DeviceRowPtr> m_rows;
    std::vector<std::size_t> m_holdingDevices;  // rows that still point to their device
};

}  // namespace kestrap
