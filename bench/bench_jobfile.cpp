// Writing and reading a job file of 10,000 file entries.

#include "BenchSupport.h"
#include "job/JobDocument.h"

#include <QTemporaryDir>

using namespace kestrap;

int main()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("big.jcf"));
    JobDocument job;
    job.setAppId(QStringLiteral("com.example.app"));
    job.setFolder(QStringLiteral("Documents"));
    std::vector<FileEntryPtr> entries;
    for (int i = 0; i < 10000; ++i) {
        auto entry = std::make_shared<FileEntry>();
        entry->path = QStringLiteral("/srv/media/library/album-%1/track-%2.m4a").arg(i / 100).arg(i);
        entry->directory = QStringLiteral("album-%1").arg(i / 100);
        entry->filesize = 4000000 + i;
        entries.push_back(entry);
    }
    job.setFilePaths(entries);
    bool ok = true;
    const double writeMs = bestOfMs(5, [&] { ok = bool(job.writeToFile(path)) && ok; });
    const double readMs = bestOfMs(5, [&] {
        JobDocument loaded;
        ok = bool(loaded.readFromFile(path, false)) && loaded.filePaths().size() == 10000 && ok;
    });
    std::printf("job file of 10,000 entries: write %.1f ms, read %.1f ms (target under 100 ms each) %s%s\n", writeMs,
        readMs, writeMs < 100 && readMs < 100 ? "OK" : "MISSED", ok ? "" : " (a run FAILED)");
    return ok ? 0 : 1;
}
