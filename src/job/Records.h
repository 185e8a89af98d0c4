#pragma once

#include "device/DeviceError.h"

#include <QDateTime>
#include <QString>
#include <QVariant>
#include <QVariantMap>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

namespace kestrap {

class iMobileDevice;

// The "status" number of a device row.
enum DeviceStatus : int {
    DeviceStatusIdle = 0,
    DeviceStatusExcluded = 1,
    DeviceStatusTransferring = 2,
    DeviceStatusFinished = 3,
    DeviceStatusFailed = 4,
};

// "Idle" for no status, the status's own text for 0 to 4, "Unknown" for anything else,
// numbers out of range and values that are not numbers alike.
QString DeviceStatusText(const QVariant& status);
QString DeviceStatusText(std::optional<int> status);

// One connected device as the controller lists it. The job queues these very objects,
// changes them in place (main thread only) and tells them apart by uid.
struct DeviceRow {
    std::shared_ptr<iMobileDevice> device;
    QString name;  // "n/a" when the device has none
    QString uid;  // "n/a" when the device has none
    QString icon;  // "iPhone", "iPad" or "iTouch"
    QString productType;  // "ProductType" ("iPad12,1"); empty where the device has none
    std::optional<int> status;
    std::optional<QDateTime> doneTime;  // "done_time": when the device finished successfully
};
using DeviceRowPtr = std::shared_ptr<DeviceRow>;

// A file or folder the user chose ("path"), with the sub-folder of the job's folder that
// receives it ("directory": the folder's own name, or "" for a file), and "filesize" once a
// run has measured it. The same type serves as send entry: a listed file is its own send
// entry, so the size measured at start stays with it.
struct FileEntry {
    QString path;
    QString directory;
    std::optional<std::uint64_t> filesize;
    // Set by collection on a send entry that cannot be sent (a FIFO, a device node, a folder
    // that cannot be read): why. Such an entry fails on every device without being opened.
    QString error;
};
using FileEntryPtr = std::shared_ptr<FileEntry>;
using SendEntry = FileEntry;
using SendEntryPtr = FileEntryPtr;

// A device left out of a job: a copy of its row taken when it was excluded, without the
// device object, with its device type. Keys the program does not know are kept in extra,
// so a job file edited elsewhere loses nothing when it is saved again.
struct ExcludedDevice {
    QString name;
    QString uid;
    std::optional<std::int64_t> type;
    QVariant status;  // "status" as it was, any kind
    QVariant doneTime;  // "done_time" as it was, any kind
    QString icon;  // rebuilt from type; never stored
    QVariantMap extra;
};

// Where the serving of one device stands, for front ends to word as they like.
enum class CopyPhase : int {
    Waiting = 0,  // no serving has begun (a record is made as one begins)
    Sending = 1,
    Finished = 2,  // every file sent, skipped or failed one by one: see the counts
    Failed = 3,  // the device could not be served, or went away: see the cause
    Cancelled = 4,  // the job was stopped
};

// A file a device did not get, and why: the same cause as the log's line for it.
struct FileFailure {
    QString path;  // the local file, as listed in the send list
    QString cause;
    ErrorDomain domain = ErrorDomain::None;
    int code = 0;
};

// A record keeps this many of a serving's failed files: enough to name the trouble, few
// enough that a run where every file fails copies no long list with each progress report.
inline constexpr int kFailedFilesKept = 20;

// How far the serving of one device is: one record per device served, found again by
// "deviceid" when the same device is served later. Changed only under the job's
// transferProgresses lock. Byte counts are 64-bit, so files and sums of 2 GB and more show
// right.
struct ProgressRecord {
    QString deviceid;
    // The local path of the file in progress (the one whose bar file_progress is); empty
    // before the first file and once the serving ended, when phase says how.
    QString current_file;
    std::int32_t overall_progress = 0;  // percent of the send list ended (sent, skipped or failed)
    std::uint64_t current_size = 0;  // bytes of the files sent or skipped so far
    std::uint64_t transferred_size = 0;  // current_size plus the bytes so far of the files in flight
    std::int32_t file_progress = 0;  // percent of the current file
    std::uint64_t lastbytes = 0;  // transferred_size at the previous speed sample
    double seconds = 0;  // time of the previous speed sample, seconds since 1 January 2001 UTC
    // Bytes per second over the last speed sample, all of the device's connections together;
    // none before the first sample of a serving.
    std::optional<std::uint64_t> speed;
    // For summaries: files of the last serving copied and not copied, and when it began and
    // ended (seconds since 1 January 2001 UTC; 0 while it runs).
    int files_sent = 0;
    int files_failed = 0;
    int files_skipped = 0;  // left alone because the device held them unchanged (or, taking a job
                            // back, a file of another size)
    int files_removed = 0;  // taken off the device: extras of a mirrored run, or the job's own files
    // The first kFailedFilesKept failed files of the last serving, in the order tried;
    // files_failed counts them all.
    std::vector<FileFailure> failed_files;
    CopyPhase phase = CopyPhase::Waiting;
    // Why the device failed, or why its last file failed ("no space left on the device");
    // empty when nothing failed in the last serving. The domain and code say the same for
    // programs.
    QString error;
    ErrorDomain errorDomain = ErrorDomain::None;
    int errorCode = 0;
    double started = 0;
    double ended = 0;
};
using ProgressRecordPtr = std::shared_ptr<ProgressRecord>;

// An error of a job operation: domain, negative code, the text shown to the user, and
// for the log or the command line, what exactly was wrong.
struct JobError {
    QString domain;
    int code = 0;
    QString description;
    QString reason;
};

// What an operation of a job that may fail hands back: success, or the error saying why not.
// True on success, so a caller reads "if (!result) ... result.error()".
class [[nodiscard]] JobResult {
public:
    JobResult() = default;
    JobResult(JobError error) : m_error(std::move(error)) { }

    explicit operator bool() const { return !m_error; }
    // Only for a failed result.
    const JobError& error() const { return *m_error; }

private:
    std::optional<JobError> m_error;
};

}  // namespace kestrap

Q_DECLARE_METATYPE(kestrap::ProgressRecordPtr)
