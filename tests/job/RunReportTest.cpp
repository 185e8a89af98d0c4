// The report of who got what: its rows, its escaping, and a path it cannot be written to.

#include "job/RunReport.h"
#include "support/TempTree.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace kestrap;

namespace {

std::vector<RunReport::Row> twoDevices()
{
    DeviceRow lab {
        nullptr, QStringLiteral("Lab, \"B\"\nshelf 2"), QStringLiteral("udid-1"), {}, {}, DeviceStatusFinished, {}};
    ProgressRecord sent;
    sent.files_sent = 17;
    sent.files_skipped = 3;
    sent.files_removed = 2;
    sent.transferred_size = 123456789012;
    sent.started = 100;
    sent.ended = 112.34;
    DeviceRow pad {
        nullptr, QStringLiteral("iPad \u00e9t\u00e9"), QStringLiteral("udid-2"), {}, {}, DeviceStatusFailed, {}};
    ProgressRecord failed;
    failed.files_failed = 2;
    failed.failed_files = {{QStringLiteral("/src/a.pdf"), QStringLiteral("no space left on the device")},
        {QStringLiteral("/src/b.pdf"), QStringLiteral("later cause")}};
    failed.error = QStringLiteral("later cause");
    return {RunReport::rowOf(lab, &sent), RunReport::rowOf(pad, &failed)};
}

}  // namespace

TEST(RunReport, CsvRowsAreQuotedWhereTheyMustBeAndNameTheFirstCause)
{
    const QString csv = QString::fromUtf8(RunReport::toCsv(twoDevices()));
    EXPECT_EQ(csv,
        QStringLiteral("name,udid,serial_number,model,ios_version,hub_place,status,files_sent,files_unchanged,"
                       "files_removed,files_failed,bytes,seconds,first_cause\r\n"
                       "\"Lab, \"\"B\"\"\nshelf 2\",udid-1,,,,,Finished,17,3,2,0,123456789012,12.3,\r\n"
                       "iPad \u00e9t\u00e9,udid-2,,,,,Failed,0,0,0,2,0,0.0,no space left on the device\r\n"));
}

TEST(RunReport, JsonCarriesTheSameValues)
{
    const QJsonArray devices = QJsonDocument::fromJson(RunReport::toJson(twoDevices())).object()["devices"].toArray();
    ASSERT_EQ(devices.size(), 2);
    EXPECT_EQ(devices[0]["name"].toString(), QStringLiteral("Lab, \"B\"\nshelf 2"));
    EXPECT_EQ(devices[0]["files_removed"].toInt(), 2);
    EXPECT_EQ(devices[0]["bytes"].toInteger(), 123456789012);
    EXPECT_EQ(devices[1]["first_cause"].toString(), QStringLiteral("no space left on the device"));
}

TEST(RunReport, APathThatCannotBeWrittenIsAnErrorAndLeavesTheOldReport)
{
    TempTree tree;
    EXPECT_FALSE(RunReport::checkWritable(tree.path(QStringLiteral("missing/report.csv"))));
    EXPECT_FALSE(RunReport::checkWritable(tree.path()));
    const QString old = writeFileBytes(tree.path(QStringLiteral("r.csv")), "old");
    QFile(old).setPermissions(QFileDevice::ReadOwner);
    const JobResult refused = RunReport::write(old, twoDevices());
    if (::geteuid() != 0) {
        ASSERT_FALSE(refused);
        EXPECT_EQ(readFileBytes(old), QByteArray("old"));
    }
    const QString json = tree.path(QStringLiteral("r.json"));
    ASSERT_TRUE(RunReport::write(json, twoDevices()));
    EXPECT_TRUE(QJsonDocument::fromJson(readFileBytes(json)).isObject());
}
