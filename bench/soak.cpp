// soak: a duplication station (kestrap-cli run --station, real-device backend) against the
// device emulator for a given time, with devices plugged and unplugged at random, some pulling
// themselves out mid-write, and one emulator restart half-way. Prints the station's threads,
// descriptors and resident memory as it goes; at the end checks that every device the station
// reported Finished holds every file of the job byte for byte.
//
//   soak [--seconds S] [--devices N] [--every S] [--seed N]
//
// Exit 0 when no finished device misses a byte, the station ended by itself on SIGTERM and
// served at least one device.

#include "device/ios/sim/SimFarm.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <map>

using namespace kestrap;

namespace {

const QString kApp = QStringLiteral("com.example.soak");

struct Options {
    int seconds = 60;
    int devices = 8;
    int every = 0;  // seconds between two samples; 0: 10 s for runs up to 5 minutes, else 60 s
    quint32 seed = 1;
};

struct Sample {
    int threads = 0;
    int descriptors = 0;
    qint64 rssKiB = 0;
};

Sample sample(qint64 pid)
{
    Sample s;
    const QString proc = QStringLiteral("/proc/%1").arg(pid);
    s.threads = int(QDir(proc + QStringLiteral("/task")).entryList(QDir::Dirs | QDir::NoDotAndDotDot).size());
    s.descriptors = int(QDir(proc + QStringLiteral("/fd")).entryList(QDir::System | QDir::NoDotAndDotDot).size());
    QFile statm(proc + QStringLiteral("/statm"));
    if (statm.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> fields = statm.readAll().split(' ');
        if (fields.size() > 1)
            s.rssKiB = fields[1].toLongLong() * 4;
    }
    return s;
}

bool parse(int argc, char** argv, Options* o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        const QByteArray key = argv[i];
        const int value = QByteArray(argv[i + 1]).toInt();
        if (key == "--seconds")
            o->seconds = value;
        else if (key == "--devices")
            o->devices = value;
        else if (key == "--every")
            o->every = value;
        else if (key == "--seed")
            o->seed = quint32(value);
        else
            return false;
    }
    if (o->every <= 0)
        o->every = o->seconds <= 300 ? 10 : 60;
    return argc % 2 == 1 && o->seconds > 0 && o->devices > 0;
}

// What the job sends: a few files of different sizes, with contents that differ byte to byte.
std::map<QString, QByteArray> makeSources(const QString& folder, QRandomGenerator& random)
{
    std::map<QString, QByteArray> files;
    const qsizetype sizes[] = {1, 4096, 100 * 1024, 1024 * 1024 + 17, 3 * 1024 * 1024};
    int n = 0;
    for (const qsizetype size : sizes) {
        QByteArray bytes(size, Qt::Uninitialized);
        for (qsizetype i = 0; i < size; ++i)
            bytes[i] = char(random.bounded(256));
        const QString name = QStringLiteral("f%1.bin").arg(n++);
        QFile f(QDir(folder).filePath(name));
        if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != size)
            qFatal("cannot write %s", qPrintable(f.fileName()));
        files[name] = bytes;
    }
    return files;
}

class Soak {
public:
    explicit Soak(Options options) : m_o(options), m_random(options.seed) { }
    int run();

private:
    bool prepare();
    bool startEmulator();
    void stopEmulator();
    void plugOrUnplugOne();
    void setFaults(const QString& udid, const QVariantMap& faults);
    int check(const QByteArray& summary);
    void report(qint64 elapsedMs, qint64 pid);

    const Options m_o;
    QRandomGenerator m_random;
    QTemporaryDir m_dir;
    QString m_farm;
    QString m_socket;
    QStringList m_udids;
    std::map<QString, QByteArray> m_sources;
    QProcess m_emulator;
    QProcessEnvironment m_env;
    int m_plugs = 0;
    int m_unplugs = 0;
    int m_armed = 0;  // plug-ins with a fault that pulls the device out mid-write
    int m_restarts = 0;
    Sample m_first;
    Sample m_peak;
    bool m_sampled = false;
};

bool Soak::prepare()
{
    m_farm = m_dir.filePath(QStringLiteral("farm"));
    m_socket = m_dir.filePath(QStringLiteral("usbmuxd"));
    const QString src = m_dir.filePath(QStringLiteral("Photos"));
    QDir().mkpath(src);
    m_sources = makeSources(src, m_random);
    for (int i = 0; i < m_o.devices; ++i) {
        sim::SimDeviceSpec model;
        model.udid = QStringLiteral("%1").arg(i + 1, 40, 10, QLatin1Char('0'));
        model.name = QStringLiteral("Soak %1").arg(i + 1);
        model.apps = {{kApp, QStringLiteral("Soak")}};
        QString error;
        if (!sim::createDevice(m_farm, model, &error)) {
            std::fprintf(stderr, "soak: %s\n", qPrintable(error));
            return false;
        }
        m_udids << model.udid;
    }
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.remove(QStringLiteral("KESTRAP_FARM"));
    m_env.insert(QStringLiteral("USBMUXD_SOCKET_ADDRESS"), QStringLiteral("UNIX:") + m_socket);
    m_env.insert(QStringLiteral("KESTRAP_LOG_DIR"), m_dir.filePath(QStringLiteral("logs")));
    m_env.insert(QStringLiteral("KESTRAP_SETTINGS"), m_dir.filePath(QStringLiteral("settings.ini")));
    QProcess job;
    job.setProcessEnvironment(m_env);
    job.start(QStringLiteral(KESTRAP_CLI_PATH),
        {"job", "create", m_dir.filePath(QStringLiteral("job.jcf")), "--app-id", kApp, "--folder", "Documents", src});
    return job.waitForFinished(30000) && job.exitCode() == 0;
}

bool Soak::startEmulator()
{
    // At the station's priority: ten levels down it can wait behind the copies for longer
    // than libusbmuxd waits for an answer, and devices would look gone for that alone.
    m_emulator.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_emulator.start(QStringLiteral(KESTRAP_DEVICEFARM_PATH),
        {m_farm, "--socket", m_socket, "--nice", "0", "--write-rate", "20", "--latency-ms", "1"});
    if (!m_emulator.waitForStarted(10000))
        return false;
    QElapsedTimer t;
    t.start();
    while (!QFileInfo(m_socket).exists() && t.elapsed() < 10000)
        QThread::msleep(10);
    return QFileInfo(m_socket).exists();
}

void Soak::stopEmulator()
{
    m_emulator.terminate();
    if (!m_emulator.waitForFinished(10000))
        m_emulator.kill();
    m_emulator.waitForFinished(5000);
}

void Soak::setFaults(const QString& udid, const QVariantMap& faults)
{
    const QString folder = QDir(m_farm).filePath(udid);
    auto plist = sim::readDevicePlist(folder);
    if (!plist)
        return;
    plist->insert(sim::kKeyFaults, faults);
    sim::writeDevicePlist(folder, *plist);
}

// One device changes: an unplugged one (by hand or by its own fault) is plugged in, a third
// of them armed to pull themselves out somewhere in the job; a plugged one is pulled out.
void Soak::plugOrUnplugOne()
{
    const QString udid = m_udids[int(m_random.bounded(qsizetype(m_udids.size())))];
    const bool plugged = sim::isPlugged(m_farm, udid);
    if (plugged) {
        sim::setPlugged(m_farm, udid, false, nullptr);
        ++m_unplugs;
        return;
    }
    QVariantMap faults;
    if (m_random.bounded(3) == 0) {
        faults.insert(QStringLiteral("UnplugAfterBytes"), qint64(m_random.bounded(4 * 1024 * 1024)));
        ++m_armed;
    }
    setFaults(udid, faults);
    sim::setPlugged(m_farm, udid, true, nullptr);
    ++m_plugs;
}

void Soak::report(qint64 elapsedMs, qint64 pid)
{
    const Sample s = sample(pid);
    if (!m_sampled) {
        m_first = s;
        m_peak = s;
        m_sampled = true;
    }
    m_peak.threads = std::max(m_peak.threads, s.threads);
    m_peak.descriptors = std::max(m_peak.descriptors, s.descriptors);
    m_peak.rssKiB = std::max(m_peak.rssKiB, s.rssKiB);
    std::printf("soak: %5llds  threads %3d  descriptors %4d  rss %7.1f MiB  plugs %d  unplugs %d  "
                "self-unplugging %d  restarts %d\n",
        static_cast<long long>(elapsedMs / 1000), s.threads, s.descriptors, double(s.rssKiB) / 1024.0, m_plugs,
        m_unplugs, m_armed, m_restarts);
    std::fflush(stdout);
}

int Soak::check(const QByteArray& summary)
{
    const QJsonArray devices = QJsonDocument::fromJson(summary).object()[QStringLiteral("devices")].toArray();
    int finished = 0;
    int failed = 0;
    int missing = 0;
    for (const auto& d : devices) {
        const QJsonObject row = d.toObject();
        const QString status = row[QStringLiteral("statusText")].toString();
        failed += status == QLatin1String("Failed");
        if (status != QLatin1String("Finished"))
            continue;
        ++finished;
        const QString documents = QStringLiteral("%1/%2/Containers/%3/Documents/Photos/")
                                      .arg(m_farm, row[QStringLiteral("uid")].toString(), kApp);
        for (const auto& [name, bytes] : m_sources) {
            QFile f(documents + name);
            if (!f.open(QIODevice::ReadOnly) || f.readAll() != bytes) {
                std::printf("soak: MISSING %s on %s\n", qPrintable(name), qPrintable(row["uid"].toString()));
                ++missing;
            }
        }
    }
    std::printf("soak: %d seconds, %d devices, %d plugs, %d unplugs, %d armed to pull out mid-write, %d emulator "
                "restarts\n",
        m_o.seconds, m_o.devices, m_plugs, m_unplugs, m_armed, m_restarts);
    std::printf("soak: %d runs Finished (every file checked byte for byte: %d missing or different), %d Failed\n",
        finished, missing, failed);
    std::printf("soak: station threads %d -> peak %d, descriptors %d -> peak %d, rss %.1f -> peak %.1f MiB\n",
        m_first.threads, m_peak.threads, m_first.descriptors, m_peak.descriptors, double(m_first.rssKiB) / 1024.0,
        double(m_peak.rssKiB) / 1024.0);
    std::fflush(stdout);
    return missing == 0 && finished > 0 ? 0 : 1;
}

int Soak::run()
{
    if (!m_dir.isValid() || !prepare() || !startEmulator()) {
        std::fprintf(stderr, "soak: could not set up the farm, the job or the emulator\n");
        return 2;
    }
    QProcess station;
    station.setProcessEnvironment(m_env);
    station.setProcessChannelMode(QProcess::SeparateChannels);
    station.start(QStringLiteral(KESTRAP_CLI_PATH),
        {"run", m_dir.filePath(QStringLiteral("job.jcf")), "--station", "--json", "--concurrency",
            QString::number(m_o.devices), "--progress-pause", "1"});
    if (!station.waitForStarted(10000))
        return 2;
    const qint64 pid = station.processId();
    QElapsedTimer clock;
    clock.start();
    const qint64 end = qint64(m_o.seconds) * 1000;
    // The first figures once the station has found the devices present at start.
    qint64 nextReport = std::min<qint64>(qint64(m_o.every) * 1000, 5000);
    bool restarted = false;
    // About two plug events a second over the whole farm: each device changes every few seconds.
    while (clock.elapsed() < end && station.state() == QProcess::Running) {
        if (clock.elapsed() >= nextReport) {
            report(clock.elapsed(), pid);
            nextReport += qint64(m_o.every) * 1000;
        }
        if (!restarted && clock.elapsed() >= end / 2) {
            stopEmulator();
            if (!startEmulator()) {
                std::fprintf(stderr, "soak: the emulator did not start again\n");
                break;
            }
            ++m_restarts;
            restarted = true;
        }
        plugOrUnplugOne();
        // The station's output is read as it comes: a full pipe would stop it.
        station.waitForReadyRead(int(m_random.bounded(200, 800)));
    }
    report(clock.elapsed(), pid);
    const bool alive = station.state() == QProcess::Running;
    station.terminate();
    const bool ended = station.waitForFinished(60000);
    if (!ended)
        station.kill();
    stopEmulator();
    const QByteArray out = station.readAllStandardOutput();
    const QByteArray err = station.readAllStandardError();
    if (!alive || !ended || station.exitStatus() != QProcess::NormalExit) {
        std::printf("soak: the station %s\n%s\n", alive ? "did not end on SIGTERM" : "ended before its time",
            err.right(4000).constData());
        check(out);
        return 1;
    }
    return check(out);
}

}  // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Options options;
    if (!parse(argc, argv, &options)) {
        std::fprintf(stderr, "usage: soak [--seconds S] [--devices N] [--every S] [--seed N]\n");
        return 2;
    }
    ::signal(SIGPIPE, SIG_IGN);
    return Soak(options).run();
}
