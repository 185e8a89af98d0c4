#include "util/ThreadPriority.h"

#include <algorithm>
#include <cerrno>
#include <sys/resource.h>

namespace kestrap {

void lowerCallingThreadPriority(int levels)
{
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    if (errno == 0)
        ::setpriority(PRIO_PROCESS, 0, std::min(nice + levels, 19));
}

}  // namespace kestrap
