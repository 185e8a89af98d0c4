#pragma once

#include "job/Records.h"

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>

namespace kestrap {

// Carries what the scheduler and the copy threads change to the job's thread, without ever
// waiting for it: a copy thread that waited for the display while it held its device's lock
// would freeze any display that asked the same device something.
//
// Exact events (a row's status, the status message, a new progress record) arrive in the
// order they were posted. Progress of one record is coalesced: at most one delivery every
// progress interval per record (kProgressInterval unless set), and the newest value is always
// delivered, because the receiver reads the record when it gets the event.
//
// Threads: post*() from any thread. Signals, drain() and the object itself belong to the
// thread the object lives on, whose event loop delivers.
class JobEvents : public QObject {
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds kProgressInterval {50};

    explicit JobEvents(QObject* parent = nullptr);
    ~JobEvents() override;

    // How often one record's progress is delivered at most. Job's thread only.
    void setProgressInterval(std::chrono::milliseconds interval);

    // status goes into the row on the receiving thread; finished also stamps "done_time".
    void postRowStatus(const DeviceRowPtr& row, int status, bool finished);
    void postStatusMessage(const QString& message);
    void postProgressAdded(int index);
    // posted is the record's own flag: set while a progress event of that record waits,
    // posted or held back for its interval, so that further reports of it post nothing and
    // a busy copy wakes the receiving thread at most about once an interval.
    // Answers whether it posted (and so woke the receiving thread).
    bool postProgress(int index, const std::shared_ptr<std::atomic<bool>>& posted);
    // A record's last change of a serving: delivered in order, never held back.
    void postFinalProgress(int index);

    // Delivers everything posted so far, progress held back for its interval included.
    void drain();

signals:
    void rowStatus(const kestrap::DeviceRowPtr& row, int status, bool finished);
    void statusMessage(const QString& message);
    void progressAdded(int index);
    void progress(int index);

private:
    enum class Kind { RowStatus, StatusMessage, ProgressAdded, Progress, FinalProgress };
    struct Event {
        Kind kind;
        int number = 0;  // status or record index
        bool finished = false;
        DeviceRowPtr row;
        QString text;
        std::shared_ptr<std::atomic<bool>> posted;
    };
    using Clock = std::chrono::steady_clock;
    struct Node {
        Event event;
        Node* next = nullptr;
    };

    void post(Event event);
    void deliver();
    using PostedFlag = std::shared_ptr<std::atomic<bool>>;
    void deliverProgress(int index, bool now, const PostedFlag& posted);
    void deliverHeldBack();

    // Posted events, newest first. Posting never takes a lock: with dozens of copies posting,
    // a lock here was the one the job's thread waited on, behind whichever copy held it.
    std::atomic<Node*> m_posted {nullptr};
    std::atomic<bool> m_scheduled {false};  // a delivery is on its way to the event loop
    // Wakes the receiving thread. An eventfd rather than a posted Qt event: posting takes the
    // receiver's event-queue lock, which its thread takes too, and a copy preempted while
    // holding it left the display waiting behind dozens of busy copies.
    int m_wakeFd = -1;
    QSocketNotifier* m_wake = nullptr;

    // The receiving thread's own.
    std::map<int, Clock::time_point> m_lastProgress;
    std::map<int, PostedFlag> m_heldBack;  // records held back, with their flags (still set)
    QTimer m_heldBackTimer;
    std::chrono::milliseconds m_progressInterval {kProgressInterval};
};

}  // namespace kestrap
