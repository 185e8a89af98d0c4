#pragma once

#include <cstddef>
#include <functional>
#include <vector>

namespace kestrap {

class iMobileDevice;

// Work spread over the connections a device is served through: on a cable every request
// waits one round trip, so requests on several connections at once overlap their waits.
//
// Threads: work(connection, index) runs once for every index below count, on the calling
// thread with the first connection and on a thread of its own for each other one; a
// connection is used by one thread at a time. Answers once every index has been done.
void forEachOnLanes(const std::vector<iMobileDevice*>& lanes, std::size_t count,
    const std::function<void(iMobileDevice& connection, std::size_t index)>& work);

}  // namespace kestrap
