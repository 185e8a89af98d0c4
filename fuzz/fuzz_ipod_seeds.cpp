// Writes the seed corpus of fuzz_ipod_records: well-formed record databases with and without
// a master playlist title, and a bare header.

#include "SeedFolder.h"
#include "device/ipod/RecordDatabase.h"

using namespace records;

int main(int argc, char** argv)
{
    SeedFolder seeds(argc, argv, "itdb");
    if (!seeds.valid())
        return 2;
    bool ok = seeds.put(typical(QStringLiteral("Anna's iPod")));
    ok = seeds.put(typical(QStringLiteral("Jürgen 音楽"))) && ok;
    ok = seeds.put(typical(QString())) && ok;
    ok = seeds.put(database({section(2, playlistList({playlist(false, {title(QStringLiteral("Mix"))})}))})) && ok;
    ok = seeds.put(database({section(1, QByteArray(64, '\0'))})) && ok;
    ok = seeds.put(header("mhbd", 24)) && ok;
    return ok ? 0 : 1;
}
