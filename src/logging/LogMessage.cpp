#include "logging/LogMessage.h"

namespace kestrap {

double LogMessage::timestampSeconds() const
{
    using namespace std::chrono;
    return duration<double>(timestamp.time_since_epoch()).count();
}

QDateTime LogMessage::timestampDate() const
{
    using namespace std::chrono;
    return QDateTime::fromMSecsSinceEpoch(duration_cast<milliseconds>(timestamp.time_since_epoch()).count());
}

}  // namespace kestrap
