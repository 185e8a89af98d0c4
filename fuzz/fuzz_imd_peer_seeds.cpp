// Writes the seed corpus of fuzz_imd_peer: what becomes of the emulator's answers. Each input
// byte is the fate of the next piece of an answer (0 to 2 pass it, 3 changes a byte, 4 cuts it
// short and closes, 5 replaces it, 6 falls silent, 7 rewrites its length), so a seed is a
// run of passes, then one fate with its arguments; and answers of the wrong shape put in
// place of the device list and of lockdown's.

#include "SeedFolder.h"
#include "WireSeeds.h"

#include <QStringList>

using namespace wireseeds;

namespace {

QByteArray passes(int count)
{
    return QByteArray(count, '\0');
}

// Fate 5 with its replacement, whose length goes in two bytes.
QByteArray replaced(const QByteArray& bytes)
{
    const auto size = std::uint16_t(bytes.size());
    return QByteArray(1, '\5') + char(size >> 8) + char(size & 0xff) + bytes;
}

QVariantMap lockdownAnswer(const QString& request, QVariantMap more)
{
    more.insert(QStringLiteral("Request"), request);
    return more;
}

}  // namespace

int main(int argc, char** argv)
{
    SeedFolder seeds(argc, argv, "bin");
    if (!seeds.valid())
        return 2;
    // Every answer as the emulator gives it.
    bool ok = seeds.put(passes(1));
    // Each fate early, in the middle of opening the device, and late in the files.
    for (const int before : {0, 4, 12, 30}) {
        ok = seeds.put(passes(before) + QByteArray("\3\7\x55", 3)) && ok;
        ok = seeds.put(passes(before) + QByteArray("\4\x0b", 2)) && ok;
        ok = seeds.put(passes(before) + QByteArray("\6", 1)) && ok;
        ok = seeds.put(passes(before) + QByteArray("\7\xff\xff\xff\x7f", 5)) && ok;
        ok = seeds.put(passes(before) + replaced("garbage, not a frame")) && ok;
    }
    // A device list of the wrong shape, and one whose device has no properties.
    ok = seeds.put(replaced(mux(1, {{QStringLiteral("DeviceList"), QStringLiteral("none")}}))) && ok;
    ok = seeds.put(replaced(mux(1,
             {{QStringLiteral("DeviceList"),
                 QVariantList {QVariantMap {{QStringLiteral("MessageType"), QStringLiteral("Attached")},
                     {QStringLiteral("DeviceID"), QStringLiteral("one")}}}}})))
        && ok;
    ok = seeds.put(replaced(mux(1,
             {{QStringLiteral("MessageType"), QStringLiteral("Result")},
                 {QStringLiteral("Number"), QStringLiteral("zero")}})))
        && ok;
    // Lockdown's answers of the wrong shape, where the opening of the device expects them.
    for (const int before : {3, 6, 9}) {
        ok = seeds.put(passes(before)
                 + replaced(frame(lockdownAnswer(QStringLiteral("GetValue"),
                     {{QStringLiteral("Value"), QVariantList {qint64(1), QStringLiteral("two")}}}))))
            && ok;
        ok = seeds.put(passes(before)
                 + replaced(frame(lockdownAnswer(QStringLiteral("StartSession"),
                     {{QStringLiteral("SessionID"), qint64(42)}, {QStringLiteral("EnableSessionSSL"), true}}))))
            && ok;
        ok = seeds.put(passes(before)
                 + replaced(frame(lockdownAnswer(QStringLiteral("StartService"),
                     {{QStringLiteral("Port"), QStringLiteral("62078")}, {QStringLiteral("EnableServiceSSL"), true}}))))
            && ok;
    }
    return ok ? 0 : 1;
}
