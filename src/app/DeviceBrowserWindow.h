#pragma once

#include <QAbstractItemModel>
#include <QWidget>
#include <memory>
#include <vector>

class QLabel;
class QTreeView;

namespace kestrap {
class FileSystemNode;
class iMobileDevice;
}  // namespace kestrap

namespace kestrap::app {

class AppController;

// A device's files as a tree: its media area and its apps with their containers. Folders
// load when first opened. Loading talks to the device on this thread, which a running job
// must not share: while the controller's job works nothing more is loaded.
class DeviceTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { Name, Size, Modified, ColumnCount };

    // canLoad answers whether the device may be asked now.
    DeviceTreeModel(std::shared_ptr<iMobileDevice> device, std::function<bool()> canLoad, QObject* parent = nullptr);
    ~DeviceTreeModel() override;

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    bool canFetchMore(const QModelIndex& parent) const override;
    void fetchMore(const QModelIndex& parent) override;

    FileSystemNode* nodeAt(const QModelIndex& index) const;

private:
    std::vector<std::unique_ptr<FileSystemNode>> m_roots;
    std::function<bool()> m_canLoad;
};

// The "Browse device" window: the tree, and a preview of the selected image.
class DeviceBrowserWindow : public QWidget {
    Q_OBJECT
public:
    DeviceBrowserWindow(AppController& controller, int deviceRow, QWidget* parent = nullptr);

private:
    void showPreview(const QModelIndex& index);

    AppController& m_controller;
    DeviceTreeModel* m_model = nullptr;
    QTreeView* m_tree = nullptr;
    QLabel* m_preview = nullptr;
    QLabel* m_info = nullptr;
};

}  // namespace kestrap::app
