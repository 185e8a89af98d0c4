#pragma once

#include "job/Records.h"

#include <QString>
#include <QVariantMap>
#include <cstdint>
#include <optional>
#include <vector>

namespace kestrap {

// What a job is: where its files go (App ID and folder), which files (the chosen files and
// folders, how deep folders are walked, which names are admitted or ignored), and which
// devices are left out. This is what a job file stores; a run works on a copy taken at its
// start, so the user may go on editing while it runs.
struct JobSettings {
    QString appId;
    QString folder;
    bool isRecursive = true;
    std::int32_t recursiveDepth = 3;
    bool isAllowedPatternRegex = false;
    QString allowedPattern = QStringLiteral("*");
    bool isIgnoredPatternRegex = false;
    QString ignoredPattern = QStringLiteral("");
    std::vector<FileEntryPtr> filePaths;
    std::vector<ExcludedDevice> excludedDevices;
};

// The single settings a job announces when they change.
enum class JobSetting {
    AppId,
    Folder,
    AllowedPattern,
    IgnoredPattern,
    AllowedPatternRegex,
    IgnoredPatternRegex,
    Recursive,
    RecursiveDepth,
    SavedFilePath,
};

// Job files: the CRC-32 of the payload (least significant byte first), then the settings as
// a binary property list. Errors carry the domain, code and text shown to the user, and the
// exact reason for the log and the command line.
namespace JobFile {

// JobError codes of job files. A mismatched checksum is the one a person may choose to
// overlook: the file is whole, but was changed since it was written (by hand, say).
enum Code : int {
    ChecksumMismatch = -100,
    Unreadable = -200,  // missing, unreadable, or not a job file
    NotAPropertyList = -300,  // the settings cannot be written as a property list
    Unwritable = -301,
};

// The settings as the file stores them: "transConfig", "fileConfig", "excludedDevices",
// with keys left out for unset strings.
QVariantMap toPropertyList(const JobSettings& settings);
// Replaces the file atomically; the previous file is intact after any failure.
bool write(const JobSettings& settings, const QString& path, JobError* error);
// The settings of a sound file; nothing, with the error, when any part of it is not.
std::optional<JobSettings> read(const QString& path, bool noChecksum, JobError* error);
// The same for a file's whole content.
std::optional<JobSettings> fromBytes(const QByteArray& content, bool noChecksum, JobError* error);

// Why the App ID names no target on a device; empty when it does. It does when it is unset
// or empty (no app chosen yet: a run refuses to start), "/" (the device's media area, as
// "com.apple.afc"), or a bundle identifier: parts of letters, digits, "-" and "_" joined by
// single dots, at most 255 characters. Anything else ("../etc", spaces, "a..b") would be
// handed to the device as the name of an app's container.
QString appIdFault(const QString& appId);

}  // namespace JobFile

}  // namespace kestrap
