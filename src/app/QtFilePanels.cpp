#include "app/QtFilePanels.h"

#include <QAbstractItemView>
#include <QFileDialog>
#include <QListView>
#include <QTreeView>

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
    QFileDialog dialog(window, QStringLiteral("Add Files"));
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    dialog.setFileMode(QFileDialog::ExistingFiles);
    // Qt's dialog lets a folder be chosen among files once its views select several items.
    for (auto* view : dialog.findChildren<QAbstractItemView*>())
        if (qobject_cast<QListView*>(view) || qobject_cast<QTreeView*>(view))
            view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    if (dialog.exec() != QDialog::Accepted)
        return {};
    return dialog.selectedFiles();
}

}  // namespace kestrap::app
