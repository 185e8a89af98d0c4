#include "app/QtFilePanels.h"

#include <QFileDialog>

namespace kestrap::app {

namespace {

const QString kJobFilter = QStringLiteral("Kestrap jobs (*.jcf)");

}  // namespace

QString QtFilePanels::openJobFile(QWidget* window)
{
    return QFileDialog::getOpenFileName(window, QStringLiteral("Open Job"), {}, kJobFilter);
}

QString QtFilePanels::saveJobFile(QWidget* window)
{
    QFileDialog dialog(window, QStringLiteral("Save Job"), {}, kJobFilter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("jcf"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

QStringList QtFilePanels::chooseFiles(QWidget* window)
{
    // A file panel opens a folder that is chosen instead of returning it: folders have a
    // panel of their own (chooseFolder).
    return QFileDialog::getOpenFileNames(window, QStringLiteral("Add Files"));
}

QString QtFilePanels::chooseFolder(QWidget* window)
{
    return QFileDialog::getExistingDirectory(window, QStringLiteral("Add Folder"));
}

QString QtFilePanels::saveReportFile(QWidget* window)
{
    QFileDialog dialog(window, QStringLiteral("Save Report"), {}, QStringLiteral("CSV (*.csv);;JSON (*.json)"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setDefaultSuffix(QStringLiteral("csv"));
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return {};
    return dialog.selectedFiles().first();
}

}  // namespace kestrap::app
