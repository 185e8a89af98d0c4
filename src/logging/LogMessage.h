#pragma once

#include <QDateTime>
#include <QString>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace kestrap {

// One logged message, made by the caller and shared read-only by every logger.
struct LogMessage {
    using Time = std::chrono::system_clock::time_point;

    std::int32_t logLevel = 0;  // logLevelMask at the call
    std::int32_t logFlag = 0;  // one of LogFlag
    std::int32_t logContext = 0;  // 0 for everything this program logs
    QString logMsg;
    Time timestamp;  // when the message was made
    const char* file = nullptr;  // source file of the call site (a literal)
    const char* function = nullptr;  // calling function (a literal)
    std::int32_t lineNumber = 0;
    std::uint32_t machThreadID = 0;  // kernel id of the calling thread
    std::string queueLabel;  // label of the serial queue the call was made on, if any

    // Seconds since 1970 with fraction, as the event log stores it.
    double timestampSeconds() const;
    QDateTime timestampDate() const;
};

using LogMessagePtr = std::shared_ptr<const LogMessage>;

}  // namespace kestrap
