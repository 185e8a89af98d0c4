#include "app/Transformers.h"

#include "job/Records.h"
#include "util/Helpers.h"

namespace kestrap::app {

QString DeviceStatusTransformer(std::optional<int> status)
{
    return DeviceStatusText(status);
}

QString CapacityTransformer(std::optional<std::uint64_t> bytes)
{
    if (!bytes)
        return QStringLiteral("Zero");
    return CapacityString(*bytes);
}

}  // namespace kestrap::app
