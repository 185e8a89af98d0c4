// Collecting a job's send list from a tree of 100,000 files, against `find DIR -type f`
// over the same tree in the same run.

#include "BenchSupport.h"
#include "job/JobDocument.h"
#include "job/SendPlan.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <fcntl.h>
#include <unistd.h>

using namespace kestrap;

int main(int argc, char** argv)
{
    const int files = argc > 1 ? std::atoi(argv[1]) : 100000;
    QTemporaryDir dir;
    // Nested folders 10 x 10 x 10, each with files/1000 files, half of them .jpg.
    const QString root = dir.filePath(QStringLiteral("tree"));
    int made = 0;
    for (int a = 0; a < 10; ++a)
        for (int b = 0; b < 10; ++b)
            for (int c = 0; c < 10; ++c) {
                const QString folder = QStringLiteral("%1/a%2/b%3/c%4").arg(root).arg(a).arg(b).arg(c);
                QDir().mkpath(folder);
                const QByteArray base = QFile::encodeName(folder);
                for (int f = 0; f < files / 1000; ++f, ++made) {
                    const QByteArray name = base + "/file" + QByteArray::number(f) + (f % 2 ? ".jpg" : ".dat");
                    ::close(::open(name.constData(), O_CREAT | O_WRONLY, 0644));
                }
            }
    std::printf("tree of %d files in 1,000 nested folders\n", made);

    std::size_t found = 0;
    const double findMs = bestOfMs(5, [&] {
        QProcess p;
        p.start(QStringLiteral("find"), {root, QStringLiteral("-type"), QStringLiteral("f")});
        p.waitForFinished(-1);
        found = std::size_t(p.readAllStandardOutput().count('\n'));
    });

    // For comparison only: find measuring every file, as collection must.
    const double findSizesMs = bestOfMs(5, [&] {
        QProcess p;
        p.start(QStringLiteral("find"),
            {root, QStringLiteral("-type"), QStringLiteral("f"), QStringLiteral("-printf"), QStringLiteral("%s\n")});
        p.waitForFinished(-1);
        p.readAllStandardOutput();
    });

    std::size_t collected = 0;
    const double collectMs = bestOfMs(5, [&] {
        JobDocument job;
        job.setRecursiveDepth(10);
        job.setAllowedPattern(QStringLiteral("jpg"));
        job.addFilePaths({root});
        collected = SendPlan::collect(job.settings()).files().size();
    });
    std::printf("find listed %zu files; the job collected %zu .jpg files\n", found, collected);
    reportRatio("collection with an extension filter", collectMs, "find -type f", findMs, 2.0);
    std::printf("(find -type f -printf %%s, which also measures every file: %.1f ms)\n", findSizesMs);
    return 0;
}
