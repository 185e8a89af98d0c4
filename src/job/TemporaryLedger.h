#pragma once

#include <QString>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace kestrap {

// The temporary items this process's uploads put on devices and have not renamed or removed
// yet. A device pulled in the middle of an upload keeps its temporary; when the process next
// serves that device, it removes what it knows it left there, in whatever folder, at once
// rather than an hour later and only where a run writes again. Kept for the whole process,
// not a run: a station serves one run for days, and a device comes back in the next run as
// often as in the same one. Devices are told apart by udid, since a device plugged in again
// is a new device object, and by the root the paths belong to (an app's container).
//
// Threads: any. One lock, held only while the ledger changes.
class TemporaryLedger {
public:
    struct Item {
        QString path;
        QString oldFileOf;  // the item whose old file this holds, moved aside; empty for a new file
    };

    // The ledger of this process; it lives as long as the process, copy threads that finish
    // after the job included.
    static TemporaryLedger& process();

    void made(const QString& udid, const QString& root, const Item& item);
    void unmade(const QString& udid, const QString& root, const QString& path);
    // Takes out every item left on that device under that root.
    std::vector<Item> take(const QString& udid, const QString& root);

private:
    using Key = std::pair<QString, QString>;  // udid, root
    std::mutex m_lock;  // guards m_items
    std::map<Key, std::map<QString, QString>> m_items;  // path -> oldFileOf
};

}  // namespace kestrap
