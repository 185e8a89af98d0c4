#pragma once

#include "app/AlertPresenter.h"

#include <QPointer>
#include <vector>

class QMessageBox;

namespace kestrap::app {

// Alerts as QMessageBox. Window-modal alerts block only their window and wait in a nested
// event loop, so the job's posted progress and status keep arriving meanwhile; alerts
// shown from inside another alert's loop collect their own answers. Without a window (and
// with no active window) the alert blocks the whole application instead.
//
// Threading: main thread only.
class QtAlertPresenter : public AlertPresenter {
public:
    AlertAnswer present(const AlertRequest& request) override;

    // The program ends and nobody is there to answer: every alert open now closes as if
    // dismissed (code 0, nothing remembered), and alerts asked from now on answer that at
    // once without showing, so no question holds the way out.
    void dismissAll();
    bool isDismissing() const { return m_dismissing; }

private:
    std::vector<QPointer<QMessageBox>> m_open;
    bool m_dismissing = false;
};

}  // namespace kestrap::app
