#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

class QWidget;

namespace kestrap::app {

// The open and save panels the commands run, behind a seam so tests can choose the files.
// Every call waits for the person's choice; an empty result means the panel was cancelled.
//
// Threading: main thread only.
class FilePanels {
public:
    virtual ~FilePanels() = default;
    // One job file (".jcf"); folders cannot be chosen.
    virtual QString openJobFile(QWidget* window) = 0;
    // Where to save a job file (".jcf").
    virtual QString saveJobFile(QWidget* window) = 0;
    // Files, several at once.
    virtual QStringList chooseFiles(QWidget* window) = 0;
    // One folder, whose files the job sends with its folder structure.
    virtual QString chooseFolder(QWidget* window) = 0;
    // Where to save a run's report (".csv", or ".json"); none where no panel can be shown.
    virtual QString saveReportFile(QWidget* window)
    {
        Q_UNUSED(window);
        return {};
    }
};

}  // namespace kestrap::app
