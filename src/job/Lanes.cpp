#include "job/Lanes.h"

#include <algorithm>
#include <atomic>
#include <thread>

namespace kestrap {

void forEachOnLanes(const std::vector<iMobileDevice*>& lanes, std::size_t count,
    const std::function<void(iMobileDevice&, std::size_t)>& work)
{
    if (lanes.empty() || count == 0)
        return;
    std::atomic<std::size_t> next {0};
    const auto serve = [&](iMobileDevice& connection) {
        for (std::size_t i = next.fetch_add(1); i < count; i = next.fetch_add(1))
            work(connection, i);
    };
    // A lane for each index at most: a thread of its own costs more than one request.
    const std::size_t used = std::min(lanes.size(), count);
    std::vector<std::thread> others;
    for (std::size_t lane = 1; lane < used; ++lane)
        others.emplace_back([&, lane] { serve(*lanes[lane]); });
    serve(*lanes[0]);
    for (std::thread& t : others)
        t.join();
}

}  // namespace kestrap
