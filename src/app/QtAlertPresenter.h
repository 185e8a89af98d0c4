#pragma once

#include "app/AlertPresenter.h"

namespace kestrap::app {

// Alerts as QMessageBox. Window-modal alerts block only their window and wait in a nested
// event loop, so the job's posted progress and status keep arriving meanwhile; alerts
// shown from inside another alert's loop collect their own answers. Without a window (and
// with no active window) the alert blocks the whole application instead.
class QtAlertPresenter : public AlertPresenter {
public:
    AlertAnswer present(const AlertRequest& request) override;
};

}  // namespace kestrap::app
