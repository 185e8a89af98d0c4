// Writes the seed corpus of fuzz_ipod_records: well-formed record databases with and without
// a master playlist title, and a bare header.

#include "device/ipod/RecordDatabase.h"

#include <QDir>
#include <QFile>
#include <cstdio>

using namespace records;

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_ipod_seeds DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);
    int n = 0;
    auto put = [&](const QByteArray& bytes) {
        QFile f(QDir(dir).filePath(QStringLiteral("seed-%1.itdb").arg(n++, 3, 10, QLatin1Char('0'))));
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    };
    bool ok = put(typical(QStringLiteral("Anna's iPod")));
    ok = put(typical(QStringLiteral("Jürgen 音楽"))) && ok;
    ok = put(typical(QString())) && ok;
    ok = put(database({section(2, playlistList({playlist(false, {title(QStringLiteral("Mix"))})}))})) && ok;
    ok = put(database({section(1, QByteArray(64, '\0'))})) && ok;
    ok = put(header("mhbd", 24)) && ok;
    return ok ? 0 : 1;
}
