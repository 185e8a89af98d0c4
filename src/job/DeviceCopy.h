#pragma once

#include "device/iMobileDevice.h"
#include "job/JobRun.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

namespace kestrap {

// Serves one device in a run: opens the app's container on it, sends every file of the run's
// plan into the job's folder there, keeps the device's progress record and ends by giving
// the device row its final status.
//
// A device is served through up to the run's connectionsPerDevice connections of its own,
// each a lane that takes the plan's next file until none is left: on a real device every
// request is a round trip, and a small file's round trips outweigh its bytes, so one lane's
// waits are filled by another's bytes.
//
// A device that stops answering without hanging up holds its copy inside a call that no one
// can break (a simulated device's, or libimobiledevice's, which waits 30 s for each of
// several replies). Its scheduler may then give the copy up (abandon()): the row fails at
// once, and the copy thread goes on alone, to end whenever the call returns. From then on
// the copy touches neither the record nor the run's events, which may be gone with the
// job; what it still uses, the copy owns (the run, the row and so the device objects).
//
// Threads: run() is the body of the copy thread, which serves the first lane and starts and
// joins a thread for each other; cancel(), ended(), silentFor() and abandon() may be called
// from any thread. Nothing here waits for the job's thread: every change the user sees is
// posted to the run's event channel. Locks, in the order they are taken: m_outwardLock,
// then the record's.
class DeviceCopy {
public:
    // A device that answered no call for this long has stopped answering. Stop and the end
    // of a run wait no longer for it, with room left for the job to say it stopped within 5 s.
    static constexpr std::chrono::milliseconds kSilenceLimit {4500};

    DeviceCopy(std::shared_ptr<JobRun> run, DeviceRowPtr row);

    void run();
    // The device went away: no further file is begun, and the device ends "Failed".
    void cancel() { m_cancelled = true; }
    bool ended() const { return m_ended; }
    const DeviceRowPtr& row() const { return m_row; }
    // How long the device has left the copy waiting for an answer; zero while the copy waits
    // for nothing from it (paused).
    std::chrono::milliseconds silentFor() const;
    // Gives up on the copy: its row fails with "the device stopped answering", the files it
    // ended stay counted and the one in progress is not. False when the copy has ended, or is
    // ending, by itself. After it, the copy thread returns from run() touching nothing of
    // its scheduler's.
    bool abandon();
    bool wasAbandoned() const { return m_fate == Fate::Abandoned; }

    // One progress report of the file a lane sends; answers whether to go on. That lane's
    // thread only.
    bool fileProgress(std::size_t lane, std::int64_t done, std::int64_t total);

private:
    enum class Fate { Running, Ending, Abandoned };
    // Held while the copy changes the record or posts to the run's events; false once the
    // copy was given up, and then nothing may be changed or posted.
    class Outward {
    public:
        explicit Outward(DeviceCopy& copy) : m_lock(copy.m_outwardLock), m_open(copy.m_fate != Fate::Abandoned) { }
        explicit operator bool() const { return m_open; }

    private:
        std::lock_guard<std::mutex> m_lock;
        const bool m_open;
    };

    // Marks that the device answered.
    void answered();
    // Removes the temporaries this process left on the device, in any folder, before
    // anything is sent; and marks the new ones as they come and go.
    void removeOurTemporaries(iMobileDevice& connection);
    void noteTemporary(const QString& temporary, const QString& oldFileOf, bool made);
    // The first connection to the app's container; null, with the cause recorded, when the
    // device gives none.
    std::shared_ptr<iMobileDevice> openContainer(iMobileDevice& device);
    // Whether the job fits on the device; records the cause when it does not.
    bool hasRoom(iMobileDevice& connection, std::size_t lanes);
    void beginRecord(const QString& deviceid);  // needs Outward held
    // Answers the connections the copy went through, the first one first: a mirrored run
    // looks at and removes its extras through them all.
    std::vector<std::shared_ptr<iMobileDevice>> sendAll(
        iMobileDevice& device, const std::shared_ptr<iMobileDevice>& first, std::size_t connections);
    // Another connection to the device for a lane; null (and logged) where it gives none.
    std::shared_ptr<iMobileDevice> openLane(iMobileDevice& device);
    // The first connection and up to connections - 1 more, opened at once.
    std::vector<std::shared_ptr<iMobileDevice>> openLanes(
        iMobileDevice& device, const std::shared_ptr<iMobileDevice>& first, std::size_t connections);
    // Sends the plan's next files through one connection until none is left.
    void sendLane(iMobileDevice& connection, std::size_t lane);
    bool sendOne(iMobileDevice& connection, std::size_t lane, std::size_t index);
    // Makes the file's folder once per run, and clears it of temporaries left by others.
    void prepareFolder(iMobileDevice& connection, const QString& folder);
    // Whether every file of the plan was sent, skipped or failed: tried to its end.
    bool everyFileEnded();
    // Whether the device holds every file of the plan: each sent or unchanged, none failed,
    // and neither a stop nor the device's going cut the copy short.
    bool receivedEveryFile();
    // Removal (DeviceRemoval.cpp): the extras of a mirrored run, and the job's own files.
    void removeExtras(const std::vector<std::shared_ptr<iMobileDevice>>& lanes);
    void removeJobFiles(const std::vector<std::shared_ptr<iMobileDevice>>& connections);
    // Takes one of the job's files off the device through a connection, unless it is not the job's.
    void removeJobFile(iMobileDevice& connection, std::size_t index, bool first);
    // Removes one item, logging and counting it; false when the device kept it.
    bool removeItem(iMobileDevice& connection, const QString& path, bool isFolder);
    bool goOn() const;
    // These need Outward held.
    void finishRecord(int status, bool cancelled);
    void recordError(const DeviceError& cause);
    // Bytes done of the whole send: the finished files and every lane's file so far. Needs
    // the record's lock.
    std::uint64_t bytesDoneLocked() const;

    const std::shared_ptr<JobRun> m_run;
    const DeviceRowPtr m_row;
    const QString m_name;
    ProgressBoard::SlotPtr m_slot;
    int m_recordIndex = -1;
    // Guarded by the record's lock: bytes of the files finished, and of each lane's file so far.
    std::uint64_t m_sum = 0;
    std::vector<std::uint64_t> m_laneBytes;
    // The row shows one lane's file, its name and its progress together, until that file
    // ends: with several lanes, the file started last is not the one whose bar moves.
    static constexpr std::size_t kNoLane = std::size_t(-1);
    std::size_t m_shownLane = kNoLane;
    std::vector<QString> m_laneFiles;  // each lane's "name << path" while it sends a file
    std::size_t m_filesEnded = 0;  // files sent, skipped or failed
    std::atomic<std::size_t> m_next {0};  // the plan's next file to be taken by a lane
    std::mutex m_foldersLock;  // guards m_knownFolders
    std::set<QString> m_knownFolders;
    std::atomic<bool> m_cancelled {false};
    std::atomic<bool> m_ended {false};
    std::atomic<bool> m_goneCause {false};  // the record's cause says already that the device went

    QString m_udid;  // set before the first connection opens, under m_outwardLock
    std::mutex m_outwardLock;  // held while the record changes or the copy posts; guards that m_fate stays Running
    std::atomic<Fate> m_fate {Fate::Running};
    // Lanes that wait for the device (not for a pause), and when the device last answered.
    std::atomic<int> m_waitingOnDevice {1};
    std::atomic<std::int64_t> m_lastAnswer;
};

}  // namespace kestrap
