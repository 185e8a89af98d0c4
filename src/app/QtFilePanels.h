#pragma once

#include "app/FilePanels.h"

namespace kestrap::app {

// The panels as QFileDialog, window-modal. Qt's own dialog is used for adding files, since
// the desktop's native dialogs choose either files or folders, never both at once.
class QtFilePanels : public FilePanels {
public:
    QString openJobFile(QWidget* window) override;
    QString saveJobFile(QWidget* window) override;
    QStringList chooseFiles(QWidget* window) override;
    QString chooseFolder(QWidget* window) override;
    QString saveReportFile(QWidget* window) override;
};

}  // namespace kestrap::app
