#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcess>
#include <QString>
#include <QStringList>

// kestrap-cli run as a separate process, the way scripts use it (KESTRAP_CLI names it).
struct CliResult {
    int code;
    QByteArray out;
    QByteArray err;
};

// env sets variables for the run; an empty value removes one. KESTRAP_FARM is never
// inherited from the test's own environment.
inline CliResult runCli(const QStringList& args, const QMap<QString, QString>& env = {}, int timeoutMs = 60000)
{
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.remove(QStringLiteral("KESTRAP_FARM"));
    for (auto it = env.cbegin(); it != env.cend(); ++it) {
        if (it.value().isEmpty())
            e.remove(it.key());
        else
            e.insert(it.key(), it.value());
    }
    p.setProcessEnvironment(e);
    p.start(QString::fromLocal8Bit(qgetenv("KESTRAP_CLI")), args);
    p.waitForFinished(timeoutMs);
    return {p.exitCode(), p.readAllStandardOutput(), p.readAllStandardError()};
}
