// The log pipeline: the mask at the call site, ordering, synchronous errors, the bound.

#include "logging/LogTestSupport.h"

#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace kestrap;

namespace {

// Remembers what it was given; can be held shut to make the pipeline back up.
class CaptureLogger : public Logger {
public:
    explicit CaptureLogger(const QString& name = QStringLiteral("capture")) : Logger(name) { }
    void logMessage(const LogMessage& m) override
    {
        std::unique_lock lock(m_gateLock);
        m_gateChanged.wait(lock, [this] { return m_open; });
        m_texts << m.logMsg;
        m_flags.push_back(m.logFlag);
        if (m_onMessage)
            m_onMessage(m);
    }
    void logMessages(const std::vector<LogMessagePtr>& messages) override
    {
        ++m_batches;
        Logger::logMessages(messages);
    }
    void flush() override { ++m_flushes; }
    void setOpen(bool open)
    {
        {
            std::lock_guard lock(m_gateLock);
            m_open = open;
        }
        m_gateChanged.notify_all();
    }
    QStringList texts()
    {
        std::lock_guard lock(m_gateLock);
        return m_texts;
    }
    std::function<void(const LogMessage&)> m_onMessage;  // set before registering
    std::atomic<int> m_flushes {0};
    std::atomic<int> m_batches {0};

private:
    std::mutex m_gateLock;  // guards the gate and what was captured
    std::condition_variable m_gateChanged;
    bool m_open = true;
    QStringList m_texts;
    std::vector<int> m_flags;
};

class LogPipelineTest : public ::testing::Test {
protected:
    void TearDown() override { LogPipeline::removeAllLoggers(); }
};

int g_evaluations = 0;
QString counted(const QString& s)
{
    ++g_evaluations;
    return s;
}

}  // namespace

TEST_F(LogPipelineTest, MaskIsTestedAtTheCallSiteAndFormatsNothingWhenOff)
{
    LogMaskGuard maskGuard;
    auto logger = std::make_shared<CaptureLogger>();
    LogPipeline::addLogger(logger);
    EXPECT_EQ(logLevelMask.load(), LogFlagError | LogFlagInfo);  // until the settings are read

    logLevelMask = LogFlagError;
    g_evaluations = 0;
    KLOG_INFO("New Device Connected: %1", counted(QStringLiteral("iPad")));
    KLOG_WARN("Device Removed: %1", counted(QStringLiteral("iPad")));
    EXPECT_EQ(g_evaluations, 0);

    logLevelMask = LogFlagInfo | LogFlagWarn;
    KLOG_INFO("New Device Connected: %1", counted(QStringLiteral("iPad")));
    KLOG_WARN("The transfer job has been stopped!");
    KLOG_ERROR("Failed to copy '%1' to %2!", QStringLiteral("/a"), QStringLiteral("iPad"));  // flag off
    LogPipeline::flushLog();
    EXPECT_EQ(logger->texts(),
        QStringList(
            {QStringLiteral("New Device Connected: iPad"), QStringLiteral("The transfer job has been stopped!")}));
}

TEST_F(LogPipelineTest, PlaceholdersAreFilledInOnePass)
{
    // A device named "%2" must not pull in the next argument.
    EXPECT_EQ(
        logFormat("Failed to copy '%1' to %2!", QStringLiteral("a%2b"), "iPad"), "Failed to copy 'a%2b' to iPad!");
    EXPECT_EQ(logFormat("%1 of %2 (%3)", 3, 7.5, std::string("s")), "3 of 7.5 (s)");
    EXPECT_EQ(logFormat("100% done"), "100% done");
}

TEST_F(LogPipelineTest, ControlCharactersInAMessageNeverReachALogger)
{
    auto logger = std::make_shared<CaptureLogger>();
    LogPipeline::addLogger(logger);
    // A device named with an escape sequence, in a message whose own line break stays.
    KLOG_ERROR("Failed to copy '%1' to %2!\nNo space left.", QStringLiteral("/a"),
        QStringLiteral("\x1b]0;pwned\x07iPad\x1b[2J"));
    LogPipeline::flushLog();
    const QString fffd(QChar::ReplacementCharacter);
    EXPECT_EQ(logger->texts(),
        QStringList({"Failed to copy '/a' to " + fffd + "]0;pwned" + fffd + "iPad" + fffd + "[2J!\nNo space left."}));
}

TEST_F(LogPipelineTest, EveryLoggerSeesEveryThreadsMessagesInOrder)
{
    auto a = std::make_shared<CaptureLogger>(QStringLiteral("a"));
    auto b = std::make_shared<CaptureLogger>(QStringLiteral("b"));
    LogPipeline::addLogger(a);
    LogPipeline::addLogger(b);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 2000; ++i)
                KLOG_INFO("%1 %2", t, i);
        });
    for (auto& th : threads)
        th.join();
    LogPipeline::flushLog();
    EXPECT_EQ(a->m_flushes.load(), 1);
    const QStringList seen = a->texts();
    ASSERT_EQ(seen.size(), 8000);
    EXPECT_EQ(b->texts(), seen);  // one order for all loggers
    int next[4] = {0, 0, 0, 0};
    for (const QString& s : seen) {
        const int t = s.section(u' ', 0, 0).toInt();
        ASSERT_EQ(s.section(u' ', 1, 1).toInt(), next[t]++);
    }
}

TEST_F(LogPipelineTest, MessagesOfABusyThreadReachTheLoggersInBatches)
{
    // A copy logs each file it sends, a few hundred microseconds apart; waking the logging
    // thread for each of them cost the copies more than the logging did.
    auto logger = std::make_shared<CaptureLogger>();
    LogPipeline::addLogger(logger);
    for (int i = 0; i < 200; ++i) {
        KLOG_INFO("Successfully copied 'f%1' to iPad!", i);
        std::this_thread::sleep_for(std::chrono::microseconds(250));
    }
    LogPipeline::flushLog();
    EXPECT_EQ(logger->texts().size(), 200);
    EXPECT_LT(logger->m_batches.load(), 50);
}

TEST_F(LogPipelineTest, ErrorsAreHandledBeforeTheCallReturnsOthersAreNot)
{
    LogMaskGuard maskGuard;
    auto logger = std::make_shared<CaptureLogger>();
    LogPipeline::addLogger(logger);
    logLevelMask = LogFlagError | LogFlagWarn | LogFlagInfo;

    KLOG_ERROR("Can't find '%1' on '%2'", "com.example.app", "iPad");
    EXPECT_EQ(logger->texts(), QStringList {QStringLiteral("Can't find 'com.example.app' on 'iPad'")});

    logger->setOpen(false);
    KLOG_WARN("Device Removed: %1", "iPad");  // returns although the logger is stuck
    EXPECT_EQ(logger->texts().size(), 1);
    logger->setOpen(true);
    LogPipeline::flushLog();
    EXPECT_EQ(logger->texts().size(), 2);
}

TEST_F(LogPipelineTest, AThousandQueuedMessagesBlockTheCallerUntilTheyDrain)
{
    auto logger = std::make_shared<CaptureLogger>();
    LogPipeline::addLogger(logger);
    logger->setOpen(false);

    std::atomic<int> returned {0};
    std::thread producer([&] {
        for (int i = 0; i < LogPipeline::kMaxQueuedMessages + 50; ++i) {
            KLOG_INFO("message %1", i);
            ++returned;
        }
    });
    ASSERT_TRUE(waitUntil([&] { return returned.load() == LogPipeline::kMaxQueuedMessages; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(returned.load(), LogPipeline::kMaxQueuedMessages);  // the next call waits
    EXPECT_EQ(LogPipeline::queuedMessageCount(), LogPipeline::kMaxQueuedMessages);

    logger->setOpen(true);
    producer.join();
    LogPipeline::flushLog();
    EXPECT_EQ(LogPipeline::queuedMessageCount(), 0);
    const QStringList seen = logger->texts();
    ASSERT_EQ(seen.size(), LogPipeline::kMaxQueuedMessages + 50);
    EXPECT_EQ(seen.last(), QStringLiteral("message 1049"));
}

TEST_F(LogPipelineTest, ALoggerThatLogsFromItsOwnQueueDoesNotDeadlock)
{
    auto logger = std::make_shared<CaptureLogger>();
    std::atomic<bool> once {false};
    logger->m_onMessage = [&](const LogMessage& m) {
        EXPECT_EQ(m.queueLabel.empty(), m.logMsg != QStringLiteral("from the queue"));
        if (!once.exchange(true))
            KLOG_ERROR("from the queue");
    };
    LogPipeline::addLogger(logger);
    KLOG_ERROR("from the test");
    LogPipeline::flushLog();
    EXPECT_EQ(logger->texts(), QStringList({QStringLiteral("from the test"), QStringLiteral("from the queue")}));
}
