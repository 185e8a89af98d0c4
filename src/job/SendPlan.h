#pragma once

#include "job/JobSettings.h"

#include <QString>
#include <atomic>
#include <cstdint>
#include <vector>

namespace kestrap {

// The files one run sends, collected once at its start from the job's settings, and where
// each of them lands inside the app's container. A plan does not change once built; copy
// threads share it read-only.
class SendPlan {
public:
    SendPlan() = default;

    // A new file entry for a chosen path: "directory" is the folder's own name when the
    // path is a folder (links followed), otherwise "".
    static FileEntryPtr infoOfFile(const QString& path);

    // Walks the chosen files and folders to the settings' depth (links followed, a loop of
    // links walked once), keeps what the patterns admit and measures every file. What cannot
    // be sent (a FIFO, socket or device node, a dangling link, a folder that cannot be read)
    // stays in the plan as an entry with its error, so that every device counts it failed.
    // A pattern that does not compile or runs away leaves the plan empty with error().
    // found, when given, counts the files met in folders as the walk goes, for a display
    // on another thread.
    static SendPlan collect(const JobSettings& settings, std::atomic<std::size_t>* found = nullptr);

    // Walks one folder to the settings' depth, appending a send entry for everything that
    // is not a folder; folders are walked with remoteFolder joined with their name.
    static void recurFolder(const JobSettings& settings, const QString& localFolder, const QString& remoteFolder,
        std::vector<SendEntryPtr>& fileArray, std::int32_t depth);

    // Where an entry lands: the folder is the job's folder joined with the entry's
    // "directory" (no "//" left), the path "/" + folder + file name.
    static QString remoteFolderOf(const QString& jobFolder, const SendEntry& entry);
    static QString remotePathOf(const QString& jobFolder, const SendEntry& entry);

    const std::vector<SendEntryPtr>& files() const { return m_files; }
    std::uint64_t totalFileSize() const { return m_totalFileSize; }
    bool isEmpty() const { return m_files.empty(); }
    // The entries that cannot be sent, each with its error.
    std::vector<SendEntryPtr> errors() const;
    // Why no plan could be made (a pattern); empty when one was.
    const QString& error() const { return m_error; }

private:
    std::vector<SendEntryPtr> m_files;
    QString m_error;
    std::uint64_t m_totalFileSize = 0;
};

}  // namespace kestrap
