// Mirroring and taking a job back through the libimobiledevice backend, against the device
// emulator: removals on the wire, as a real device gets them.

#include "support/CliRun.h"
#include "support/DeviceEmulator.h"
#include "support/TempTree.h"

#include "device/ios/sim/SimFarm.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>

using namespace kestrap;

namespace {

class ImdFleet : public ::testing::Test {
protected:
    TempTree tree;
    QString farm;
    QString jcf;
    QString udid;
    std::unique_ptr<DeviceEmulator> emulator;

    void SetUp() override
    {
        farm = tree.folder(QStringLiteral("farm"));
        jcf = tree.path(QStringLiteral("job.jcf"));
        for (int i = 0; i < 20; ++i)
            tree.file(QStringLiteral("src/List/book%1.pdf").arg(i), 100 + i);
        tree.file(QStringLiteral("src/List/2026/term.pdf"), 50);
        ASSERT_EQ(runCli({"job", "create", jcf, "--app-id", "com.example.app", "--folder", "Documents",
                             tree.path(QStringLiteral("src/List"))})
                      .code,
            0);
        sim::SimDeviceSpec model;
        model.name = QStringLiteral("Lab, \"B\"");
        model.apps = {{QStringLiteral("com.example.app"), QStringLiteral("App")}};
        QString error;
        ASSERT_TRUE(sim::createDevice(farm, model, &error, &udid)) << qPrintable(error);
        emulator = std::make_unique<DeviceEmulator>(farm);
        ASSERT_TRUE(emulator->start());
    }

    void TearDown() override
    {
        if (HasFailure() && emulator)
            ADD_FAILURE() << "the emulator said:\n" << emulator->stop().constData();
    }

    QMap<QString, QString> env() const
    {
        return {{QStringLiteral("KESTRAP_LOG_DIR"), tree.path(QStringLiteral("logs"))},
            {QStringLiteral("KESTRAP_SETTINGS"), tree.path(QStringLiteral("settings.ini"))},
            {QStringLiteral("USBMUXD_SOCKET_ADDRESS"), emulator->address()}};
    }

    QString documents() const { return QStringLiteral("%1/%2/Containers/com.example.app/Documents").arg(farm, udid); }

    QStringList held() const
    {
        QStringList items;
        QDirIterator it(
            documents(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
        while (it.hasNext())
            items << QDir(documents()).relativeFilePath(it.next());
        items.sort();
        return items;
    }

    QJsonObject device(const CliResult& r) const
    {
        return QJsonDocument::fromJson(r.out).object()["devices"].toArray().first().toObject();
    }
};

}  // namespace

TEST_F(ImdFleet, AMirroredReRunTakesOffWhatTheSourceLostAndReportsIt)
{
    ASSERT_EQ(runCli({"run", jcf, "--progress-pause", "0", "--json"}, env()).code, 0);
    for (const char* gone : {"book3.pdf", "book7.pdf", "2026/term.pdf"})
        ASSERT_TRUE(QFile::remove(tree.path(QStringLiteral("src/List/") + QLatin1String(gone))));

    const CliResult plan = runCli({"job", "plan", jcf, "--device", udid, "--mirror", "--skip-unchanged"}, env());
    ASSERT_EQ(plan.code, 0) << plan.err.constData();
    const QJsonObject planned = QJsonDocument::fromJson(plan.out).object();
    EXPECT_EQ(planned["unchanged"].toArray().size(), 18);
    EXPECT_EQ(planned["remove"].toArray().size(), 4);  // three files and the folder 2026
    EXPECT_EQ(held().size(), 23);  // planning changed nothing

    const QString report = tree.path(QStringLiteral("report.csv"));
    const CliResult r = runCli(
        {"run", jcf, "--progress-pause", "0", "--json", "--mirror", "--skip-unchanged", "--report", report}, env());
    ASSERT_EQ(r.code, 0) << r.err.constData();
    EXPECT_EQ(device(r)["files_removed"].toInt(), 3);
    EXPECT_EQ(device(r)["files_skipped"].toInt(), 18);
    EXPECT_EQ(held().size(), 19);  // List and its 18 books
    EXPECT_FALSE(QFileInfo::exists(documents() + QStringLiteral("/List/2026")));
    const QList<QByteArray> lines = readFileBytes(report).split('\n');
    ASSERT_GE(lines.size(), 2);
    EXPECT_TRUE(lines[1].startsWith("\"Lab, \"\"B\"\"\"," + udid.toUtf8() + ','));
    EXPECT_TRUE(lines[1].contains(",Finished,0,18,3,0,"));
}

TEST_F(ImdFleet, TakingAJobBackLeavesOnlyWhatTheUserChanged)
{
    ASSERT_EQ(runCli({"run", jcf, "--progress-pause", "0"}, env()).code, 0);
    writeFileBytes(documents() + QStringLiteral("/List/book0.pdf"), "the user's own");
    writeFileBytes(documents() + QStringLiteral("/notes.txt"), "never the job's");

    const CliResult r = runCli({"job", "remove", jcf, "--json"}, env());
    ASSERT_EQ(r.code, 0) << r.err.constData();
    EXPECT_EQ(device(r)["files_removed"].toInt(), 20);
    EXPECT_EQ(device(r)["files_skipped"].toInt(), 1);
    EXPECT_EQ(
        held(), QStringList({QStringLiteral("List"), QStringLiteral("List/book0.pdf"), QStringLiteral("notes.txt")}));

    ASSERT_EQ(runCli({"job", "remove", jcf, "--force"}, env()).code, 0);
    EXPECT_EQ(held(), QStringList {QStringLiteral("notes.txt")});
}
