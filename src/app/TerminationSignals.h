#pragma once

#include <QObject>

class QSocketNotifier;

namespace kestrap::app {

// SIGTERM and SIGINT as a Qt signal: the handler only writes the signal's number into a pipe
// (all a handler may safely do), and the main thread's event loop reads it from there. The
// previous handlers come back when the object goes. One at a time per process.
//
// Threading: make and destroy it on the main thread.
class TerminationSignals : public QObject {
    Q_OBJECT
public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

    // False when the pipe could not be made; the signals then keep their default action.
    bool isInstalled() const { return m_notifier != nullptr; }

signals:
    void received(int signalNumber);

private:
    void readPipe();

    QSocketNotifier* m_notifier = nullptr;
};

}  // namespace kestrap::app
