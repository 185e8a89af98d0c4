#include "logging/LogDirectory.h"

#include <QDir>
#include <QFileInfo>
#include <filesystem>
#include <system_error>

namespace kestrap {

QString defaultLogDirectory()
{
    const QString overridden = qEnvironmentVariable("KESTRAP_LOG_DIR");
    if (!overridden.isEmpty())
        return overridden;
    // The XDG rules ignore a relative XDG_STATE_HOME.
    const QString state = qEnvironmentVariable("XDG_STATE_HOME");
    if (!state.isEmpty() && QDir::isAbsolutePath(state))
        return QDir(state).filePath(QStringLiteral("Kestrap"));
    const QString home = qEnvironmentVariable("HOME");
    if (!home.isEmpty() && QFileInfo(home).isDir())
        return QDir(home).filePath(QStringLiteral(".local/state/Kestrap"));
    return QDir(QDir::tempPath()).filePath(QStringLiteral("Logs/Kestrap"));
}

bool makeLogDirectory(const QString& path, QString* error)
{
    std::error_code ec;
    const std::filesystem::path p(path.toStdString());
    if (std::filesystem::is_directory(p, ec))
        return true;
    std::filesystem::create_directories(p, ec);
    if (ec || !std::filesystem::is_directory(p)) {
        if (error)
            *error = ec ? QString::fromStdString(ec.message()) : QStringLiteral("Not a directory");
        return false;
    }
    return true;
}

}  // namespace kestrap
