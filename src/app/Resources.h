#pragma once

namespace kestrap::app {

// Registers the application's images (a static library's resources are not registered on
// their own). Idempotent; call before the first window is made.
void initResources();

}  // namespace kestrap::app
