#pragma once

#include <QString>
#include <QStringList>
#include <vector>

class QWidget;

namespace kestrap::app {

// One message box or question as the application asks it: what it shows and how.
struct AlertRequest {
    enum class Modality {
        Window,  // a sheet on a window: only that window is blocked
        Application,  // blocks every window
    };
    QString title;  // the message text, shown large
    QString message;  // the informative text under it
    QStringList buttons;  // in order; the first answers 1, the second 0, the third -1
    bool critical = false;
    bool showSuppression = false;  // the "remember" check box
    QString suppressionTitle;  // empty: "Do not show this message again"
    QStringList files;  // non-empty: a read-only list of these file names under the text
    bool showFileList = false;
    Modality modality = Modality::Window;
    QWidget* window = nullptr;  // null: the active window
};

struct AlertAnswer {
    int code = 0;  // 1, 0 or -1 by the button pressed; 0 when the box was dismissed
    bool suppressionChecked = false;
};

// The seam between the commands and the person at the screen: shows one alert and returns
// the answer synchronously. The real presenter runs a nested event loop while it waits, so
// posted work (the job's progress and status) still runs; tests answer from a script.
//
// Threading: main thread only.
class AlertPresenter {
public:
    virtual ~AlertPresenter() = default;
    virtual AlertAnswer present(const AlertRequest& request) = 0;
};

// The answer code of the button at index (first 1, second 0, third -1).
int alertCodeForButton(int index);

}  // namespace kestrap::app
