#pragma once

#include <QObject>
#include <QString>

class QWidget;

namespace kestrap::app {

class KestrapAppDelegate;

// The run behind the pictures of the operator's guide: leaves one device out, starts the
// job, and once the copies are under way saves every window as a PNG beside the main one
// ("NAME.png", "NAME-preferences.png", ...). Then it stops the job, saves the summary the
// stop leaves and a device's browser, and ends the application without asking anything (the job stopped first).
//
// Threading: main thread only.
class ScreenshotTour : public QObject {
    Q_OBJECT
public:
    struct Plan {
        QString mainPicture;  // "docs/screenshot.png"
        int delayMs = 0;  // from Start to the first picture
        QString excludedDevice;  // by name
        QString browsedDevice;  // by name; its first image in the media area is previewed
    };

    ScreenshotTour(KestrapAppDelegate& delegate, Plan plan, QObject* parent = nullptr);
    void start();

private:
    void takeWindows();
    void takeSummary();
    void takeBrowser();
    void save(QWidget* window, const QString& suffix) const;

    KestrapAppDelegate& m_delegate;
    Plan m_plan;
};

}  // namespace kestrap::app
