#include "app/SingleInstance.h"

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>
#include <QUrl>
#include <QtEndian>
#include <unistd.h>

namespace kestrap::app {

namespace {

const QString kInterface = QStringLiteral("org.freedesktop.Application");
constexpr int kAnswerTimeoutMs = 10000;
// A request is a list of paths; anything longer is not one of ours.
constexpr qint64 kMaxRequestBytes = 1024 * 1024;
constexpr char kTaken = 'k';

QByteArray encodeRequest(const QStringList& paths)
{
    QByteArray payload;
    for (const QString& path : paths)
        payload += QFile::encodeName(path) + '\0';
    QByteArray request(sizeof(quint32), Qt::Uninitialized);
    qToBigEndian(quint32(payload.size()), request.data());
    return request + payload;
}

void setReason(QString* reason, const QString& text)
{
    if (reason)
        *reason = text;
}

}  // namespace

// The desktop's interface of a running application, on the object the bus name points to.
class ApplicationAdaptor : public QDBusAbstractAdaptor {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")
public:
    explicit ApplicationAdaptor(SingleInstance* instance) : QDBusAbstractAdaptor(instance), m_instance(instance) { }

public slots:
    void Activate(const QVariantMap& /*platformData*/) { m_instance->received({}); }
    void Open(const QStringList& uris, const QVariantMap& /*platformData*/)
    {
        QStringList paths;
        for (const QString& uri : uris) {
            const QUrl url(uri);
            if (url.isLocalFile())
                paths << url.toLocalFile();
        }
        m_instance->received(paths);
    }
    // No actions are offered; the method is part of the interface.
    void ActivateAction(const QString& /*name*/, const QVariantList& /*parameter*/, const QVariantMap& /*platformData*/)
    {
    }

private:
    SingleInstance* m_instance;
};

SingleInstance::Channels SingleInstance::defaultChannels()
{
    Channels c;
    const QDBusConnection bus = QDBusConnection::sessionBus();
    if (bus.isConnected())
        c.bus = bus;
    c.busName = QStringLiteral("org.kestrap.Kestrap");
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(runtime).isDir())
        c.socketPath = QDir(runtime).filePath(QStringLiteral("kestrap.socket"));
    else
        c.socketPath = QDir::temp().filePath(QStringLiteral("kestrap-%1.socket").arg(::getuid()));
    return c;
}

QString SingleInstance::objectPathOf(const QString& busName)
{
    return QLatin1Char('/') + QString(busName).replace(QLatin1Char('.'), QLatin1Char('/'));
}

SingleInstance::SingleInstance(Channels channels, QObject* parent)
    : QObject(parent), m_channels(std::move(channels)) { }

SingleInstance::~SingleInstance()
{
    if (m_ownsBusName) {
        m_channels.bus->unregisterService(m_channels.busName);
        m_channels.bus->unregisterObject(objectPathOf(m_channels.busName));
    }
}

SingleInstance::HandOff SingleInstance::handOff(const QStringList& files, QString* reason)
{
    QStringList paths;
    for (const QString& f : files)
        paths << QFileInfo(f).absoluteFilePath();
    if (m_channels.bus) {
        const HandOff overBus = handOffOverBus(paths, reason);
        if (overBus != HandOff::NoneRunning)
            return overBus;
    }
    // Also with a bus: the running instance may have started without one.
    return handOffOverSocket(paths, reason);
}

SingleInstance::HandOff SingleInstance::handOffOverBus(const QStringList& paths, QString* reason)
{
    QDBusConnection& bus = *m_channels.bus;
    if (!bus.interface()->isServiceRegistered(m_channels.busName).value())
        return HandOff::NoneRunning;
    QDBusMessage call = QDBusMessage::createMethodCall(m_channels.busName, objectPathOf(m_channels.busName), kInterface,
        paths.isEmpty() ? QStringLiteral("Activate") : QStringLiteral("Open"));
    if (!paths.isEmpty()) {
        QStringList uris;
        for (const QString& p : paths)
            uris << QUrl::fromLocalFile(p).toString(QUrl::FullyEncoded);
        call << uris;
    }
    call << QVariantMap();
    // With the event loop running, so an instance in this same process can answer too.
    const QDBusMessage reply = bus.call(call, QDBus::BlockWithGui, kAnswerTimeoutMs);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        setReason(reason, QStringLiteral("the running Kestrap did not take the files: ") + reply.errorMessage());
        return HandOff::Failed;
    }
    return HandOff::Handed;
}

SingleInstance::HandOff SingleInstance::handOffOverSocket(const QStringList& paths, QString* reason)
{
    // Only this user's own socket: another user's would be told which files we open.
    const QFileInfo info(m_channels.socketPath);
    if (!info.exists() || info.ownerId() != ::getuid())
        return HandOff::NoneRunning;
    QLocalSocket socket;
    socket.connectToServer(m_channels.socketPath);
    // Refused: a socket left by an instance that crashed.
    if (!socket.waitForConnected(2000))
        return HandOff::NoneRunning;
    socket.write(encodeRequest(paths));

    QEventLoop loop;
    QTimer::singleShot(kAnswerTimeoutMs, &loop, &QEventLoop::quit);
    connect(&socket, &QLocalSocket::readyRead, &loop, &QEventLoop::quit);
    connect(&socket, &QLocalSocket::disconnected, &loop, &QEventLoop::quit);
    if (!socket.bytesAvailable())
        loop.exec();
    if (socket.read(1) != QByteArray(1, kTaken)) {
        setReason(reason, QStringLiteral("the running Kestrap did not answer"));
        return HandOff::Failed;
    }
    return HandOff::Handed;
}

bool SingleInstance::serve(QString* reason)
{
    if (!m_channels.bus)
        return serveSocket(reason);
    QDBusConnection& bus = *m_channels.bus;
    if (!findChild<ApplicationAdaptor*>())
        new ApplicationAdaptor(this);
    const QString path = objectPathOf(m_channels.busName);
    if (!bus.registerObject(path, this, QDBusConnection::ExportAdaptors)) {
        setReason(reason, bus.lastError().message());
        return false;
    }
    // Taken by a launch that came first: that one serves.
    if (!bus.registerService(m_channels.busName)) {
        bus.unregisterObject(path);
        setReason(reason, QStringLiteral("%1 is taken").arg(m_channels.busName));
        return false;
    }
    m_ownsBusName = true;
    return true;
}

bool SingleInstance::serveSocket(QString* reason)
{
    // Launches that decide at once take turns; a lock left by a crash is taken over.
    QLockFile lock(m_channels.socketPath + QStringLiteral(".lock"));
    if (!lock.tryLock(5000)) {
        setReason(reason, QStringLiteral("cannot lock %1").arg(lock.fileName()));
        return false;
    }
    QLocalSocket probe;
    probe.connectToServer(m_channels.socketPath);
    if (probe.waitForConnected(500)) {
        setReason(reason, QStringLiteral("another Kestrap serves %1").arg(m_channels.socketPath));
        return false;
    }
    QLocalServer::removeServer(m_channels.socketPath);
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server->listen(m_channels.socketPath)) {
        setReason(reason, m_server->errorString());
        delete m_server;
        m_server = nullptr;
        return false;
    }
    connect(m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readRequest(socket); });
            readRequest(socket);
        }
    });
    return true;
}

void SingleInstance::readRequest(QLocalSocket* socket)
{
    // A length, then that many bytes of paths each ended by a zero byte. Nothing is allocated
    // on a sender's word before the bytes are there: a list read with QDataStream reserves
    // whatever count the stream claims.
    if (socket->bytesAvailable() < qint64(sizeof(quint32)))
        return;
    const QByteArray head = socket->peek(sizeof(quint32));
    const quint32 length = qFromBigEndian<quint32>(head.constData());
    if (length > kMaxRequestBytes) {
        socket->abort();
        return;
    }
    if (socket->bytesAvailable() < qint64(sizeof(quint32)) + length)
        return;
    socket->read(sizeof(quint32));
    QStringList paths;
    for (const QByteArray& path : socket->read(length).split('\0'))
        if (!path.isEmpty())
            paths << QFile::decodeName(path);
    socket->write(QByteArray(1, kTaken));
    socket->disconnectFromServer();
    received(paths);
}

void SingleInstance::received(const QStringList& paths)
{
    // Answered first: opening may ask the person, and the other launch must not wait for that.
    QMetaObject::invokeMethod(
        this,
        [this, paths] {
            emit activateRequested();
            if (!paths.isEmpty())
                emit openRequested(paths);
        },
        Qt::QueuedConnection);
}

}  // namespace kestrap::app

#include "SingleInstance.moc"
