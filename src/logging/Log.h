#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <string>
#include <type_traits>

// The logging entry points of the whole program.
//
//     KLOG_INFO("New Device Connected: %1", name);
//     KLOG_WARN("The transfer job has been stopped!");
//     KLOG_ERROR("Failed to copy '%1' to %2!", path, deviceName);
//
// Each macro first tests its flag against logLevelMask; when the flag is off that test is all
// it costs (the arguments are not even evaluated). Placeholders are %1, %2, ... and are filled
// in one pass, so a device name that itself contains "%1" is printed as it is. Arguments may
// be QString, const char* or std::string (UTF-8), or numbers.
//
// Errors are logged synchronously: the macro returns after every logger has handled the
// message. Warnings and info are queued; a thread that logs faster than the loggers write
// blocks once 1000 messages wait. Any thread may log.
namespace kestrap {

enum LogFlag : std::int32_t {
    LogFlagError = 1,
    LogFlagWarn = 2,
    LogFlagInfo = 4,
};

// The enabled flags, process-wide. 5 (error and info) until the settings are read at start,
// then kept by Settings. Written by the main thread, read by every thread that logs.
extern std::atomic<std::int32_t> logLevelMask;

inline bool logFlagEnabled(std::int32_t flag)
{
    return (logLevelMask.load(std::memory_order_relaxed) & flag) != 0;
}

namespace logdetail {

inline QString toLogString(const QString& s)
{
    return s;
}
inline QString toLogString(const char* s)
{
    return QString::fromUtf8(s);
}
inline QString toLogString(const std::string& s)
{
    return QString::fromStdString(s);
}
inline QString toLogString(QStringView s)
{
    return s.toString();
}
inline QString toLogString(QLatin1StringView s)
{
    return QString(s);
}
template <typename T>
requires std::is_arithmetic_v<T> QString toLogString(T value)
{
    return QString::number(value);
}

}  // namespace logdetail

// The message text: the format with %1, %2, ... replaced by the arguments.
template <typename... Args> QString logFormat(const char* format, const Args&... args)
{
    if constexpr (sizeof...(Args) == 0)
        return QString::fromUtf8(format);
    else
        return QString::fromUtf8(format).arg(logdetail::toLogString(args)...);
}

}  // namespace kestrap

#define KLOG_MAYBE(isAsync, flag, ...)                                                                                 \
    do {                                                                                                               \
        if (::kestrap::logFlagEnabled(flag))                                                                           \
            ::kestrap::LogPipeline::log(isAsync, ::kestrap::logLevelMask.load(std::memory_order_relaxed), flag, 0,     \
                __FILE__, __func__, __LINE__, ::kestrap::logFormat(__VA_ARGS__));                                      \
    } while (0)

#define KLOG_ERROR(...) KLOG_MAYBE(false, ::kestrap::LogFlagError, __VA_ARGS__)
#define KLOG_WARN(...) KLOG_MAYBE(true, ::kestrap::LogFlagWarn, __VA_ARGS__)
#define KLOG_INFO(...) KLOG_MAYBE(true, ::kestrap::LogFlagInfo, __VA_ARGS__)

#include "logging/LogPipeline.h"
