// The job as the person edits it: settings, lists, the modified mark and its file.

#include "job/JobDocument.h"
#include "support/StubDevice.h"
#include "support/TempTree.h"

#include <functional>
#include <gtest/gtest.h>

using namespace kestrap;

namespace {

DeviceRow rowFor(const QString& uid, std::int32_t type)
{
    DeviceRow row;
    row.device = std::make_shared<StubDevice>(uid, QStringLiteral("Dev ") + uid, type);
    row.name = row.device->name();
    row.uid = uid;
    row.icon = DeviceIconName(type);
    row.status = DeviceStatusIdle;
    return row;
}

}  // namespace

TEST(JobDocument, NewDocumentDefaults)
{
    JobDocument doc;
    EXPECT_EQ(doc.allowedPattern(), "*");
    EXPECT_EQ(doc.ignoredPattern(), "");
    EXPECT_FALSE(doc.ignoredPattern().isNull());
    EXPECT_TRUE(doc.isRecursive());
    EXPECT_EQ(doc.recursiveDepth(), 3);
    EXPECT_FALSE(doc.isAllowedPatternRegex());
    EXPECT_FALSE(doc.isIgnoredPatternRegex());
    EXPECT_TRUE(doc.appId().isNull());
    EXPECT_TRUE(doc.savedFilePath().isNull());
    EXPECT_FALSE(doc.isModified());
}

TEST(JobDocument, FileListSkipsListedPathsAndAnnouncesAroundEachChange)
{
    JobDocument doc;
    QStringList events;
    const auto rows = [](const ListChange& c) { return QString(" %1-%2").arg(c.first).arg(c.last); };
    QObject::connect(&doc, &JobDocument::filePathsAboutToChange,
        [&](ListChange c) { events << QString("about %1").arg(doc.filePaths().size()) + rows(c); });
    QObject::connect(&doc, &JobDocument::filePathsChanged,
        [&](ListChange c) { events << QString("changed %1").arg(doc.filePaths().size()) + rows(c); });
    QObject::connect(&doc, &JobDocument::settingChanged, [&](JobSetting s) {
        if (s == JobSetting::AppId)
            events << "appId " + doc.appId();
    });
    EXPECT_EQ(doc.addFilePaths({"/a", "/b", "/a"}), 2);
    EXPECT_EQ(doc.addFilePaths({"/b"}), 0);  // nothing new: no announcement
    doc.removeFilePathsAt({0, 7, 0});
    doc.setAppId(QStringLiteral("com.x"));
    EXPECT_EQ(events, (QStringList {"about 0 0-1", "changed 2 0-1", "about 2 0-0", "changed 1 0-0", "appId com.x"}));
    ASSERT_EQ(doc.filePaths().size(), 1u);
    EXPECT_EQ(doc.filePaths()[0]->path, "/b");
}

TEST(JobDocument, StartChecksFilesThenAppIdThenFolder)
{
    JobDocument doc;
    EXPECT_EQ(doc.startCheck(), StartCheck::NoFiles);
    doc.addFilePaths({"/a"});
    EXPECT_EQ(doc.startCheck(), StartCheck::NoAppId);
    doc.setAppId(QStringLiteral(" \t"));
    EXPECT_EQ(doc.startCheck(), StartCheck::NoAppId);
    doc.setAppId(QStringLiteral("com.x"));
    EXPECT_EQ(doc.startCheck(), StartCheck::NoFolder);
    doc.setFolder(QStringLiteral("Documents"));
    EXPECT_EQ(doc.startCheck(), StartCheck::Ready);
}

TEST(JobDocument, ExcludingKeepsOneRecordPerUidWithTypeAndNoDevice)
{
    JobDocument doc;
    DeviceRow pad = rowFor(QStringLiteral("A1"), DeviceTypePad);
    doc.excludeDevice(pad);
    pad.name = QStringLiteral("renamed");
    doc.excludeDevice(pad);
    doc.excludeDevice(rowFor(QStringLiteral("B2"), DeviceTypeTouch));
    ASSERT_EQ(doc.excludedDevices().size(), 2u);
    const ExcludedDevice& first = doc.excludedDevices()[0];
    EXPECT_EQ(first.uid, "A1");
    EXPECT_EQ(first.name, "Dev A1");
    EXPECT_EQ(first.type, DeviceTypePad);
    EXPECT_EQ(first.status.toLongLong(), DeviceStatusIdle);
    EXPECT_TRUE(doc.isDeviceExcluded(QStringLiteral("B2")));
    EXPECT_EQ(doc.excludedUids(), (QStringList {"A1", "B2"}));

    doc.includeDeviceAtIndex(0);
    doc.includeDeviceAtIndex(5);  // out of range: ignored
    doc.includeDeviceAtIndex(-1);
    ASSERT_EQ(doc.excludedDevices().size(), 1u);
    EXPECT_EQ(doc.excludedDevices()[0].uid, "B2");
}

// The title's "*" and the save question rest on this mark.
TEST(JobDocument, EveryKindOfEditMarksItModified)
{
    const std::vector<std::pair<const char*, std::function<void(JobDocument&)>>> edits = {
        {"app id", [](JobDocument& d) { d.setAppId(QStringLiteral("com.x")); }},
        {"folder", [](JobDocument& d) { d.setFolder(QStringLiteral("Documents")); }},
        {"allowed", [](JobDocument& d) { d.setAllowedPattern(QStringLiteral("pdf")); }},
        {"ignored", [](JobDocument& d) { d.setIgnoredPattern(QStringLiteral("tmp")); }},
        {"allowed regex", [](JobDocument& d) { d.setIsAllowedPatternRegex(true); }},
        {"ignored regex", [](JobDocument& d) { d.setIsIgnoredPatternRegex(true); }},
        {"recursive", [](JobDocument& d) { d.setIsRecursive(false); }},
        {"depth", [](JobDocument& d) { d.setRecursiveDepth(7); }},
        {"add files", [](JobDocument& d) { d.addFilePaths({QStringLiteral("/a")}); }},
        {"set files", [](JobDocument& d) { d.setFilePaths({}); }},
        {"exclude", [](JobDocument& d) { d.excludeDevice(rowFor(QStringLiteral("U"), DeviceTypePhone)); }},
    };
    for (const auto& [name, edit] : edits) {
        JobDocument doc;
        int told = 0;
        QObject::connect(&doc, &JobDocument::modifiedChanged, [&](bool on) { told += on ? 1 : -100; });
        edit(doc);
        EXPECT_TRUE(doc.isModified()) << name;
        EXPECT_EQ(told, 1) << name;
    }

    // Removals mark it too; edits that change nothing (an index out of range) do not.
    TempTree tree;
    JobDocument doc;
    doc.addFilePaths({QStringLiteral("/a")});
    doc.excludeDevice(rowFor(QStringLiteral("U"), DeviceTypePhone));
    ASSERT_TRUE(doc.writeToFile(tree.path(QStringLiteral("job.jcf"))));
    doc.removeFilePathsAt({3});
    doc.includeDeviceAtIndex(3);
    EXPECT_FALSE(doc.isModified());
    doc.removeFilePathsAt({0});
    EXPECT_TRUE(doc.isModified());
    ASSERT_TRUE(doc.writeToFile(tree.path(QStringLiteral("job.jcf"))));
    doc.includeDeviceAtIndex(0);
    EXPECT_TRUE(doc.isModified());
}

TEST(JobDocument, WritingAndReadingClearTheMarkAndFailuresKeepIt)
{
    TempTree tree;
    const QString jcf = tree.path(QStringLiteral("job.jcf"));
    JobDocument saved;
    saved.setAppId(QStringLiteral("com.example.reader"));
    saved.addFilePaths({tree.file(QStringLiteral("a.pdf"))});
    ASSERT_TRUE(saved.writeToFile(jcf));
    EXPECT_FALSE(saved.isModified());
    EXPECT_EQ(saved.savedFilePath(), jcf);

    // A failed write leaves the mark and the saved path as they were.
    saved.setFolder(QStringLiteral("Documents"));
    const JobResult unwritten = saved.writeToFile(tree.path(QStringLiteral("no/such/dir/job.jcf")));
    ASSERT_FALSE(unwritten);
    EXPECT_EQ(unwritten.error().code, JobFile::Unwritable);
    EXPECT_TRUE(saved.isModified());
    EXPECT_EQ(saved.savedFilePath(), jcf);

    JobDocument edited;
    edited.setAppId(QStringLiteral("keep.me"));
    QList<bool> told;
    QObject::connect(&edited, &JobDocument::modifiedChanged, [&](bool on) { told << on; });
    // A failed read changes nothing: contents, saved path and mark stay.
    writeFileBytes(tree.path(QStringLiteral("bad.jcf")), QByteArray("not a job file"));
    const JobResult bad = edited.readFromFile(tree.path(QStringLiteral("bad.jcf")), false);
    ASSERT_FALSE(bad);
    EXPECT_EQ(bad.error().code, JobFile::ChecksumMismatch);
    EXPECT_EQ(edited.appId(), "keep.me");
    EXPECT_TRUE(edited.isModified());
    EXPECT_TRUE(edited.savedFilePath().isEmpty());
    EXPECT_TRUE(told.isEmpty());

    ASSERT_TRUE(edited.readFromFile(jcf, false));
    EXPECT_EQ(edited.appId(), "com.example.reader");
    EXPECT_EQ(edited.filePaths().size(), 1u);
    EXPECT_FALSE(edited.isModified());
    EXPECT_EQ(edited.savedFilePath(), jcf);
    // Read, the document was never "modified" on the way.
    EXPECT_EQ(told, (QList<bool> {false}));
}
