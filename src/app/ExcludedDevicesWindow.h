#pragma once

#include "app/JobListModel.h"

#include <QDialog>
#include <memory>

class QTableView;
class QToolButton;

namespace kestrap {
class JobDocument;
}

namespace kestrap::app {

class AppController;

// The document's excluded devices, following that list row by row.
class ExcludedDeviceModel : public JobListModel {
    Q_OBJECT
public:
    enum Column { Name, Uid, ColumnCount };

    explicit ExcludedDeviceModel(QObject* parent = nullptr);
    void setDocument(JobDocument* document);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    JobDocument* m_document = nullptr;
    std::vector<QMetaObject::Connection> m_connections;
};

// The devices the current document leaves out. The take-back button sits at the end of the
// selected row and is hidden while nothing is selected.
//
// Threading: main thread only.
class ExcludedDevicesWindow : public QDialog {
    Q_OBJECT
public:
    explicit ExcludedDevicesWindow(AppController& controller, QWidget* parent = nullptr);

    // Shows the controller's current document and brings the window up.
    void show();
    ExcludedDeviceModel* model() const { return m_model; }
    QTableView* table() const { return m_table; }
    QToolButton* takeBackButton() const { return m_takeBack; }

    // Takes the selected device back into the job.
    void OnSegmentSelected();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void placeTakeBack();

    AppController& m_controller;
    ExcludedDeviceModel* m_model;
    QTableView* m_table;
    QToolButton* m_takeBack;
};

}  // namespace kestrap::app
