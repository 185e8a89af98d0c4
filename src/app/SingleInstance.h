#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <optional>

class QLocalServer;
class QLocalSocket;
class QLockFile;

namespace kestrap::app {

// One application per user: the first launch serves, a later one hands its job files to it
// and ends. Where a session bus exists the first launch owns a bus name and answers the
// desktop's org.freedesktop.Application interface (Open with file URIs, Activate), which file
// managers use too; without one it listens on a local socket only this user can reach. A
// socket left by a crashed instance is removed by the next first launch.
//
// Threading: main thread only. Received requests are handed on from the event loop, after the
// other launch has had its answer, so a question the window asks cannot make it wait.
class SingleInstance : public QObject {
    Q_OBJECT
public:
    struct Channels {
        std::optional<QDBusConnection> bus;  // connected, or none
        QString busName;  // "org.kestrap.Kestrap"
        QString socketPath;
    };

    enum class HandOff {
        Handed,  // a running instance took the files
        NoneRunning,  // this launch is the first
        Failed,  // one runs but did not answer: see the reason
    };

    // The session bus when it can be reached, and this user's socket: in $XDG_RUNTIME_DIR, or
    // in the temporary folder with the user id in its name.
    static Channels defaultChannels();
    static QString objectPathOf(const QString& busName);

    explicit SingleInstance(Channels channels, QObject* parent = nullptr);
    ~SingleInstance() override;

    // Gives the files (made absolute) to the instance that runs, if one does; without files it
    // only asks that one to come forward.
    HandOff handOff(const QStringList& files, QString* reason = nullptr);
    // Becomes the instance later launches hand their files to: false when another took the
    // place first (hand off again) or nothing could be served (reason says why).
    bool serve(QString* reason = nullptr);

signals:
    // Job files handed over from another launch (or the desktop), to open as Open does.
    void openRequested(const QStringList& paths);
    // Asked to come forward, with or without files.
    void activateRequested();

private:
    friend class ApplicationAdaptor;
    void received(const QStringList& paths);
    HandOff handOffOverBus(const QStringList& paths, QString* reason);
    HandOff handOffOverSocket(const QStringList& paths, QString* reason);
    bool serveSocket(QString* reason);
    void readRequest(QLocalSocket* socket);

    Channels m_channels;
    QLocalServer* m_server = nullptr;
    bool m_ownsBusName = false;
};

}  // namespace kestrap::app
