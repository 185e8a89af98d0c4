// The device file tree over simulated devices: names and paths, lazy children, stop, images
// through the front end's decoder, and deletion, checked by what reaches the device.

#include "device/tree/FileSystemNode.h"
#include "device/image/PNGNormalizer.h"
#include "device/image/gui/QtImageDecoder.h"
#include "device/tree/TreeSeams.h"
#include "support/DevicePng.h"
#include "support/StubDevice.h"
#include "support/TestFarm.h"

#include <QFile>
#include <QImage>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using namespace kestrap;

namespace {

const QString kNotes = QStringLiteral("com.example.notes");
const QString kMaps = QStringLiteral("com.example.maps");

// Names its icons so that tests can tell them apart; runs a hook for every icon it makes.
class NamingIcons : public FileSystemIconProvider {
public:
    QVariant folderIcon() override { return onIcon(), QStringLiteral("folder"); }
    QVariant iconForFileType(const QString& extension) override { return onIcon(), "file:" + extension; }
    std::function<void()> onIcon = [] {};
};

void write(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// A 2 x 1 device-optimised PNG whose first pixel is the given red; blue 10, green 20.
QByteArray artwork(int red)
{
    return testpng::devicePng(
        {2, 1, QByteArray::fromRawData("\x00\x14\x0a\xff\x00\x14\x0a\xff", 8).replace(0, 1, QByteArray(1, char(red)))});
}

QStringList names(const FileSystemNode::Children& children)
{
    QStringList all;
    for (const auto& child : children)
        all << child->displayName();
    return all;
}

class FileSystemNodeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        icons = std::make_shared<NamingIcons>();
        setFileSystemIconProvider(icons);
        // Installed for development: the tree shows their whole containers.
        udid = farm.addPhone({{kNotes, QStringLiteral("Notes"), true}, {kMaps, QStringLiteral("Maps"), true}});
        media = farm.media(udid);
    }
    void TearDown() override
    {
        setFileSystemIconProvider(nullptr);
        setFileSystemImageDecoder(nullptr);
    }
    std::shared_ptr<iPhoneDevice> open() { return farm.open(udid); }
    int calls(const char* call) { return farm.calls(udid, call); }

    TestFarm farm;
    std::shared_ptr<NamingIcons> icons;
    QString udid;
    QString media;
};

}  // namespace

TEST_F(FileSystemNodeTest, RootsNamesAndDisplayPaths)
{
    write(farm.container(udid, kNotes) + "/Documents/Inbox/a.txt", "a");
    write(farm.container(udid, kNotes) + "/Documents/DCIM/b.jpg", "b");
    QDir(media).mkpath("DCIM/100APPLE");
    QDir(media).mkpath("DCIM-old");
    const auto device = open();

    const auto files = FileSystemNode::fileSystemRootNodeWithMobileDevice(device);

    const auto roll = FileSystemNode::cameraRollNodeWithMobileDevice(device);
    EXPECT_TRUE(roll->isCameraRollNode());
    ASSERT_EQ(roll->children().size(), 1u);
    EXPECT_TRUE(roll->children()[0]->isCameraRollNode());
    EXPECT_TRUE(roll->children()[0]->dimension().isNull());
    const auto old = std::find_if(files->children().begin(), files->children().end(),
        [](const auto& c) { return c->displayName() == "DCIM-old"; });
    ASSERT_NE(old, files->children().end());
    EXPECT_FALSE((*old)->isCameraRollNode());

    const auto apps = FileSystemNode::appRootNodeWithMobileDevice(device);
    EXPECT_EQ(apps->displayPath(), "");
    ASSERT_EQ(names(apps->children()), (QStringList {"Maps", "Notes"}));
    FileSystemNode& notes = *apps->children()[1];
    EXPECT_EQ(notes.fullPath(), "/");
    EXPECT_EQ(notes.displayPath(), "/Notes");
    FileSystemNode& documents = *notes.children()[0];
    ASSERT_EQ(names(documents.children()), (QStringList {"DCIM", "Inbox"}));
    FileSystemNode& inbox = *documents.children()[1];
    FileSystemNode& file = *inbox.children()[0];
    EXPECT_EQ(file.fullPath(), "/Documents/Inbox/a.txt");
    EXPECT_EQ(file.displayPath(), "/Notes/Documents/Inbox/a.txt");
    // A DCIM folder in an app's container is no camera roll; the same path on another root
    // is still the same path.
    EXPECT_FALSE(documents.children()[0]->isCameraRollNode());
    EXPECT_TRUE(documents.isEqualTo(FileSystemNode(device, "/Documents", nullptr, "/", true)));

    // Asked whether it is a folder on its own root, not on the container the device is on.
    ASSERT_EQ(device->currentService(), kNotes);
    EXPECT_FALSE(FileSystemNode(device, "/Documents", nullptr, "/").isDirectory());
    EXPECT_TRUE(FileSystemNode(device, "/Documents", nullptr, kNotes).isDirectory());
}

TEST(FileSystemNodeListing, NamesThatAreNoSinglePathComponentAreLeftOut)
{
    // A device answering such names would make nodes that stand for their own folder.
    class OddDevice : public StubDevice {
    public:
        OddDevice() : StubDevice("odd", "Odd", DeviceTypePhone) { }
        std::vector<iMobileFileSystemNode> contentsOfDirectory(const QString& path, std::int32_t) override
        {
            return {iMobileFileSystemNode("", path, true), iMobileFileSystemNode(".", path, true),
                iMobileFileSystemNode("a/b", path, true), iMobileFileSystemNode("ok", path, false)};
        }
    };
    const auto root = FileSystemNode::fileSystemRootNodeWithMobileDevice(std::make_shared<OddDevice>());
    EXPECT_EQ(names(root->children()), QStringList {"ok"});
}

TEST_F(FileSystemNodeTest, AppRootListsNamedAppsAndListsThemAgainAfterRefresh)
{
    // An app without a display name is left out.
    const QString folder = QDir(farm.path()).filePath(udid);
    QVariantMap plist = *sim::readDevicePlist(folder);
    QVariantMap applications = plist["Applications"].toMap();
    QVariantMap maps = applications[kMaps].toMap();
    maps.remove("CFBundleDisplayName");
    applications[kMaps] = maps;
    plist["Applications"] = applications;
    ASSERT_TRUE(sim::writeDevicePlist(folder, plist));
    QDir(media).mkpath("Music");
    const auto device = open();

    const auto apps = FileSystemNode::appRootNodeWithMobileDevice(device);
    EXPECT_EQ(names(apps->children()), QStringList {"Notes"});
    apps->refreshChildren();
    EXPECT_EQ(names(apps->children()), QStringList {"Notes"});
}

TEST_F(FileSystemNodeTest, ChildrenLoadLazilyOnceWithoutDotsOrTheDiskFolder)
{
    QDir(media).mkpath(".iDisk/inside");
    QDir(media).mkpath("Photos/2020");
    write(media + "/b.txt", "bb");
    write(media + "/a.png", "a");
    const auto device = open();
    farm.service()->resetCallCounts(udid);

    const auto root = FileSystemNode::fileSystemRootNodeWithMobileDevice(device);
    EXPECT_EQ(calls("AFCDirectoryOpen"), 0);
    EXPECT_EQ(names(root->children()), (QStringList {"Photos", "a.png", "b.txt"}));
    EXPECT_EQ(calls("AFCDirectoryOpen"), 1);
    EXPECT_FALSE(root->children()[0]->validChildren());
    root->children();
    EXPECT_EQ(calls("AFCDirectoryOpen"), 1);
    root->refreshChildren();
    EXPECT_EQ(root->children().size(), 3u);
    EXPECT_EQ(calls("AFCDirectoryOpen"), 2);

    // Size and date are asked once, even with the device's own cache gone.
    FileSystemNode& b = *root->children()[2];
    EXPECT_EQ(b.fileSize(), 2u);
    const QDateTime date = b.modifiedDate();
    device->refresh();
    const int infos = calls("AFCFileInfoOpen");
    EXPECT_EQ(b.fileSize(), 2u);
    EXPECT_EQ(b.modifiedDate(), date);
    EXPECT_EQ(calls("AFCFileInfoOpen"), infos);
    EXPECT_EQ(b.sizeString(), "2 bytes");
    EXPECT_EQ(calls("AFCFileInfoOpen"), infos + 1);
}

TEST_F(FileSystemNodeTest, StopKeepsThePartialListUntilRefresh)
{
    for (const char* name : {"f1", "f2", "f3"})
        QDir(media).mkpath(name);
    write(media + "/x.txt", "x");
    const auto device = open();
    const auto root = FileSystemNode::fileSystemRootNodeWithMobileDevice(device);

    int made = 0;
    icons->onIcon = [&] {
        if (++made == 2)
            root->stop();
    };
    EXPECT_EQ(names(root->children()), (QStringList {"f1", "f2"}));
    root->reset();
    EXPECT_EQ(root->children().size(), 2u);
    root->refreshChildren();
    EXPECT_EQ(names(root->children()), (QStringList {"f1", "f2", "f3", "x.txt"}));

    // From another thread, while the load is under way.
    std::promise<void> loading;
    std::promise<void> stopped;
    made = 0;
    icons->onIcon = [&] {
        if (++made == 1) {
            loading.set_value();
            stopped.get_future().wait();
        }
    };
    root->refreshChildren();
    std::thread stopper([&] {
        loading.get_future().wait();
        root->stop();
        stopped.set_value();
    });
    EXPECT_EQ(root->children().size(), 1u);
    stopper.join();
}

TEST_F(FileSystemNodeTest, ImagesTakeAtMostFiveAttempts)
{
    write(media + "/pic.png", artwork(30));
    write(media + "/broken.png", "not a picture at all");
    write(media + "/notes.txt", "text");
    const auto device = open();
    const auto root = FileSystemNode::fileSystemRootNodeWithMobileDevice(device);
    const auto& c = root->children();
    FileSystemNode& broken = *c[0];
    FileSystemNode& notes = *c[1];
    FileSystemNode& pic = *c[2];

    // Without a decoder the standard PNG bytes are kept; asked before there is an image, the
    // size is not known yet, and that is not kept either.
    EXPECT_EQ(pic.realImage(), QVariant("file:png"));
    EXPECT_TRUE(PNGNormalizer::isGoodPNGData(pic.imageData()));
    EXPECT_TRUE(pic.dimension().isNull());
    setFileSystemImageDecoder(std::make_shared<QtImageDecoder>());
    const int opens = calls("AFCFileRefOpen");
    EXPECT_EQ(pic.realImage().value<QImage>().pixel(0, 0), qRgba(30, 20, 10, 255));
    EXPECT_EQ(pic.dimension(), "2 x 1");
    EXPECT_EQ(pic.imageVersion(), 2u);
    EXPECT_EQ(calls("AFCFileRefOpen"), opens);

    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(broken.realImage(), QVariant("file:png"));
    EXPECT_EQ(broken.imageVersion(), 6u);
    EXPECT_EQ(calls("AFCFileRefOpen"), opens + 5);
    EXPECT_EQ(broken.realImage(), QVariant("file:png"));
    EXPECT_EQ(calls("AFCFileRefOpen"), opens + 5);

    // No image by name: counted, never read.
    EXPECT_EQ(notes.realImage(), QVariant("file:txt"));
    EXPECT_EQ(notes.imageVersion(), 2u);
    EXPECT_EQ(calls("AFCFileRefOpen"), opens + 5);
    EXPECT_EQ(root->realImage(), QVariant("folder"));
}

TEST_F(FileSystemNodeTest, AppArtworkComesFromTheAppsOwnContainer)
{
    setFileSystemImageDecoder(std::make_shared<QtImageDecoder>());
    write(farm.container(udid, kMaps) + "/iTunesArtwork", artwork(50));
    write(farm.container(udid, kNotes) + "/iTunesArtwork", artwork(60));
    const auto device = open();
    const auto apps = FileSystemNode::appRootNodeWithMobileDevice(device);
    FileSystemNode& maps = *apps->children()[0];
    FileSystemNode& notes = *apps->children()[1];
    EXPECT_EQ(maps.image(), QVariant("folder"));

    // The device is left on the Notes container; Maps still shows its own artwork.
    notes.children();
    ASSERT_EQ(device->currentService(), kNotes);
    EXPECT_EQ(maps.realImage().value<QImage>().pixel(0, 0), qRgba(50, 20, 10, 255));
    EXPECT_EQ(notes.realImage().value<QImage>().pixel(0, 0), qRgba(60, 20, 10, 255));
    EXPECT_TRUE(maps.dimension().isNull());
}

TEST_F(FileSystemNodeTest, DeletingAFolderRemovesEverythingInIt)
{
    write(media + "/Old/a/b.txt", "b");
    write(media + "/Old/c.txt", "c");
    write(media + "/keep.txt", "k");
    const auto device = open();
    const auto root = FileSystemNode::fileSystemRootNodeWithMobileDevice(device);
    FileSystemNode& old = *root->children()[0];
    old.children();
    // Added after the children were loaded: removed all the same.
    write(media + "/Old/late.txt", "l");

    // A stopped folder deletes nothing of its content.
    old.stop();
    EXPECT_FALSE(old.deleteItem());
    EXPECT_TRUE(QFile::exists(media + "/Old/a/b.txt"));
    old.reset();

    EXPECT_TRUE(old.deleteItem());
    EXPECT_FALSE(QFileInfo::exists(media + "/Old"));
    EXPECT_TRUE(QFile::exists(media + "/keep.txt"));

    // A root cannot go, and is not emptied trying; nor can the app root.
    EXPECT_FALSE(root->deleteItem());
    EXPECT_TRUE(QFile::exists(media + "/keep.txt"));
    const auto apps = FileSystemNode::appRootNodeWithMobileDevice(device);
    EXPECT_FALSE(apps->deleteItem());
    EXPECT_FALSE(apps->children()[0]->deleteItem());
    EXPECT_TRUE(QFileInfo::exists(farm.container(udid, kMaps) + "/Documents"));

    // A device that has gone removes nothing and says so.
    farm.service()->unplug(udid);
    EXPECT_FALSE(root->children()[1]->deleteItem());
}
