#pragma once

// A job (its document and runner) on simulated devices, with the rows it serves and what it
// said: the common ground of the tests that run jobs.

#include "job/JobDocument.h"
#include "job/PortJob.h"
#include "support/TempTree.h"
#include "support/TestFarm.h"

#include <QObject>
#include <algorithm>
#include <functional>
#include <gtest/gtest.h>

using namespace kestrap;
using namespace kestrap::sim;

namespace {

const QString kApp = QStringLiteral("com.example.app");

class Transfer : public ::testing::Test {
protected:
    TempTree tree;
    TestFarm farm;
    JobDocument doc;
    PortJob job;
    QStringList messages;  // every status message, in order
    int mostServedAtOnce = 0;
    std::vector<DeviceRowPtr> rows;

    void SetUp() override
    {
        doc.setAppId(kApp);
        doc.setFolder(QStringLiteral("Documents"));
        job.setConcurrencyOverride(3);
        job.setProgressPauseOverride(0);
        QObject::connect(&job, &PortJob::statusMessageChanged, [this](const QString& m) { messages << m; });
        QObject::connect(&job, &PortJob::deviceStatusChanged, [this] {
            int serving = 0;
            for (const auto& r : rows)
                serving += r->status == DeviceStatusTransferring;
            mostServedAtOnce = std::max(mostServedAtOnce, serving);
        });
    }

    void TearDown() override { job.stop(); }

    // Starts the runner on the document as it is now.
    JobResult start() { return job.start(doc.settings()); }

    // A plugged-in simulated device, opened, with its row.
    DeviceRowPtr device(const QString& name, bool withApp = true, const SimFaults& faults = {},
        std::uint64_t capacity = kDefaultCapacity)
    {
        SimDeviceSpec model;
        model.name = name;
        model.capacity = capacity;
        if (withApp)
            model.apps.push_back({kApp, QStringLiteral("Example")});
        model.faults = faults;
        const QString udid = farm.addDevice(model);
        auto row = std::make_shared<DeviceRow>();
        row->device = farm.open(udid);
        EXPECT_TRUE(row->device);
        row->name = name;
        row->uid = udid;
        row->icon = QStringLiteral("iPhone");
        rows.push_back(row);
        return row;
    }

    QString containerFile(const DeviceRowPtr& row, const QString& rel) const
    {
        return farm.container(row->uid, kApp) + u'/' + rel;
    }

    void addFiles(int count, qint64 size)
    {
        for (int i = 0; i < count; ++i)
            doc.addFilePaths({tree.file(QStringLiteral("src/f%1.bin").arg(i), size)});
    }

    // Every device has its final status and every copy thread has ended.
    bool allEnded()
    {
        return job.runningThreads() == 0 && std::all_of(rows.begin(), rows.end(), [](const DeviceRowPtr& r) {
            return r->status == DeviceStatusFinished || r->status == DeviceStatusFailed;
        });
    }

    // Queues every device row and runs the job until each has ended.
    bool runToTheEnd()
    {
        for (const DeviceRowPtr& row : rows) {
            row->status.reset();
            job.addDeviceToQueue(row);
        }
        if (!start())
            return false;
        const bool ended = TestFarm::waitFor([&] { return allEnded(); }, 30000);
        job.stop();  // a job serves devices plugged in later until it is stopped
        return ended;
    }

    ProgressRecord recordOf(const DeviceRowPtr& row)
    {
        for (const auto& r : job.transferProgresses())
            if (r.deviceid == row->uid)
                return r;
        return {};
    }
};

// Waits long enough for runs under ThreadSanitizer on a busy machine.
inline bool waitFor(const std::function<bool()>& done)
{
    return TestFarm::waitFor(done, 30000);
}

inline SimFaults slowWrites(std::int64_t msPerMiB)
{
    SimFaults f;
    f.writeDelayMsPerMiB = msPerMiB;
    return f;
}

}  // namespace
