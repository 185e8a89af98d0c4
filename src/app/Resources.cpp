#include "app/Resources.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void initKestrapResources()
{
    Q_INIT_RESOURCE(resources);
}

namespace kestrap::app {

void initResources()
{
    static const bool done = (initKestrapResources(), true);
    Q_UNUSED(done);
}

}  // namespace kestrap::app
