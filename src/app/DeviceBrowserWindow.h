#pragma once

#include <QAbstractItemModel>
#include <QThreadPool>
#include <QWidget>
#include <memory>
#include <mutex>
#include <set>
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
// load when first opened, with the sizes and dates of their files, and images when asked
// for: all on a worker of the model's own, one load at a time, so the window never waits for
// the device and never takes its lock. A node's rows appear once its load ended; the main
// thread reads only nodes whose load it was told of. The device object's connection is its
// own: a job's copies go through connections of theirs, so browsing and copying go on at once.
class DeviceTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { Name, Size, Modified, ColumnCount };

    explicit DeviceTreeModel(std::shared_ptr<iMobileDevice> device, QObject* parent = nullptr);
    // Cuts a folder's load under way short and waits for it.
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
    // Loads the image of a file's node (imageLoaded says when); nothing while it loads or
    // the device may not be asked.
    void loadImage(const QModelIndex& index);

signals:
    void imageLoaded(const QModelIndex& index);

private:
    bool isLoaded(const FileSystemNode* node) const { return m_loaded.count(node) > 0; }
    QModelIndex indexOf(FileSystemNode* node) const;
    void childrenLoaded(FileSystemNode* node);

    std::vector<std::unique_ptr<FileSystemNode>> m_roots;
    std::set<const FileSystemNode*> m_loaded;  // children, their sizes and dates may be read
    std::set<const FileSystemNode*> m_busy;  // a load of the worker's own
    // Taken for a moment (never held over a load) by each side where a node changes hands:
    // Qt's queue hands over through locks thread checkers cannot see, this one they can.
    std::mutex m_handOver;
    // Last: it goes first, waiting for a load under way before the nodes go.
    QThreadPool m_loader;
};

// The "Browse device" window: the tree, and a preview of the selected image.
class DeviceBrowserWindow : public QWidget {
    Q_OBJECT
public:
    DeviceBrowserWindow(AppController& controller, int deviceRow, QWidget* parent = nullptr);

    DeviceTreeModel* model() const { return m_model; }

signals:
    // The preview of the current item is shown (an image, or its name and size).
    void previewShown();

private:
    void showPreview(const QModelIndex& index);
    void imageLoaded(const QModelIndex& index);

    AppController& m_controller;
    DeviceTreeModel* m_model = nullptr;
    QTreeView* m_tree = nullptr;
    QLabel* m_preview = nullptr;
    QLabel* m_info = nullptr;
};

}  // namespace kestrap::app
