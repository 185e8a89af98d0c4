#pragma once

#include <QMainWindow>
#include <functional>

class QAbstractItemView;
class QAction;
class QComboBox;
class QLabel;
class QStackedWidget;
class QLineEdit;
class QMenu;
class QPushButton;
class QSplitter;
class QTableView;

namespace kestrap {
class UserDefaults;
}

namespace kestrap::app {

class AppChoiceModel;
class AppController;
class CartView;
class DeviceSortModel;
class DeviceTableModel;
class FileTableModel;
class TransferTableModel;

// The main window: the device table, the job (App ID, folder, files), the transfer table,
// the status message and the Start/Stop button. A view over the controller: every command
// goes to AppController with the selection it needs, every value is read from the document, the
// runner or the roster through the models.
//
// Threading: main thread only.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(AppController& controller, QWidget* parent = nullptr);

    // Commands the application carries rather than the window (Preferences, Event Log,
    // Help, File Settings, Excluded Devices, Browse Device); set before the window shows.
    struct AppCommands {
        std::function<void()> preferences, eventLog, help, fileSettings, excludedDevices, browseDevice;
    };
    void setAppCommands(AppCommands commands);

    // A line under the tables for conditions of the whole program (no device backend).
    void setNotice(const QString& text);

    // The window's size and place, its splitters, the tables' column widths, the device
    // list's hidden columns and order and whether the cart shows, as the person left them;
    // restoring what was never saved keeps the defaults (the list sorted by place on the hubs).
    void saveLayout(UserDefaults& defaults) const;
    void restoreLayout(const UserDefaults& defaults);

    QTableView* deviceTable() const { return m_devices; }
    QTableView* fileTable() const { return m_files; }
    QTableView* transferTable() const { return m_transfers; }
    QLineEdit* appIdField() const;
    QComboBox* appIdChooser() const { return m_appId; }
    CartView* cartView() const { return m_cart; }
    QAction* cartAction() const { return m_cartAction; }
    // The cart's tiles instead of the tables, or the tables.
    void showCart(bool on);
    QLineEdit* folderField() const { return m_folder; }
    QPushButton* startButton() const { return m_start; }
    QAction* excludeAction() const { return m_excludeAction; }
    QAction* includeAction() const { return m_includeAction; }
    QAction* browseAction() const { return m_browseAction; }
    QLabel* statusLabel() const { return m_status; }
    QLabel* noticeLabel() const { return m_notice; }
    DeviceTableModel* deviceModel() const { return m_deviceModel; }
    TransferTableModel* transferModel() const { return m_transferModel; }
    // What a drop of these local paths does: a job file alone opens, anything else joins the
    // job's files.
    void takeDroppedPaths(const QStringList& paths);
    // The first roster row selected in the device list (or the cart), or -1; all of them, in
    // order. Devices that are not ready are not among them.
    int selectedDevice() const;
    std::vector<int> selectedDevices() const;
    // Selects the device of that roster row alone.
    void selectDevice(int rosterRow);

signals:
    // The person asked to close the window; the application decides what that ends.
    void closeRequested();
    // The person chose what the device list shows (columns, order, the cart): worth keeping now.
    void layoutChoiceChanged();

protected:
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    QWidget* makeDevicePane();
    QWidget* makeJobPane();
    QWidget* makeTransferPane();
    void makeMenus();
    void rebindJob();
    void updateWorking();
    void updateTitle();
    void fillRecentMenu();
    void updateDeviceActions();
    std::vector<int> selectedFileRows() const;
    QAbstractItemView* deviceView() const;
    void refillAppChoices();
    void removeSelectedFiles();

    AppController& m_controller;
    AppCommands m_commands;
    DeviceTableModel* m_deviceModel;
    DeviceSortModel* m_sortedDevices;
    DeviceSortModel* m_cartOrder;
    AppChoiceModel* m_appChoices;
    FileTableModel* m_fileModel;
    TransferTableModel* m_transferModel;
    QSplitter* m_top = nullptr;
    QSplitter* m_vertical = nullptr;
    QStackedWidget* m_pages = nullptr;
    CartView* m_cart = nullptr;
    QAction* m_cartAction = nullptr;
    QTableView* m_devices = nullptr;
    QTableView* m_files = nullptr;
    QTableView* m_transfers = nullptr;
    QComboBox* m_appId = nullptr;
    QLineEdit* m_folder = nullptr;
    QLabel* m_status = nullptr;
    QLabel* m_notice = nullptr;
    QPushButton* m_start = nullptr;
    QAction* m_startAction = nullptr;
    QAction* m_removeFromDevicesAction = nullptr;
    QAction* m_newAction = nullptr;
    QAction* m_excludeAction = nullptr;
    QAction* m_includeAction = nullptr;
    QAction* m_browseAction = nullptr;
    QAction* m_openAction = nullptr;
    QMenu* m_recentMenu = nullptr;
    std::vector<QMetaObject::Connection> m_jobConnections;
};

}  // namespace kestrap::app
