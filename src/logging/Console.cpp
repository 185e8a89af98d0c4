#include "logging/Console.h"

#include <QSet>
#include <cstdio>
#include <mutex>

namespace kestrap {

namespace {
std::mutex g_consoleLock;  // guards g_sink and g_reported
ConsoleSink g_sink;
QSet<QString> g_reported;

void write(const QString& message)
{
    const QByteArray bytes = message.toUtf8() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
}
}  // namespace

void consoleMessage(const QString& message)
{
    ConsoleSink sink;
    {
        std::lock_guard lock(g_consoleLock);
        sink = g_sink;
    }
    if (sink)
        sink(message);
    else
        write(message);
}

void consoleMessageOnce(const QString& key, const QString& message)
{
    {
        std::lock_guard lock(g_consoleLock);
        if (g_reported.contains(key))
            return;
        g_reported.insert(key);
    }
    consoleMessage(message);
}

ConsoleSink setConsoleSink(ConsoleSink sink)
{
    std::lock_guard lock(g_consoleLock);
    std::swap(g_sink, sink);
    return sink;
}

}  // namespace kestrap
