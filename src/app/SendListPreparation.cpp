#include "app/SendListPreparation.h"

#include <QCoreApplication>
#include <QThreadPool>
#include <atomic>
#include <mutex>
#include <optional>

namespace kestrap::app {

// What the worker shares with the window, kept alive by both.
struct SendListPreparation::Walk {
    std::atomic<std::size_t> found {0};
    // The plan crosses over under a lock thread checkers see (Qt's queue hands over through
    // its own); the sizes measured into the listed entries' copies come with it.
    std::mutex lock;
    std::optional<SendPlan> plan;
    SendListPreparation* owner = nullptr;  // main thread only; null once it went
};

SendListPreparation::SendListPreparation(const JobSettings& settings, QObject* parent)
    : QObject(parent), m_walk(std::make_shared<Walk>())
{
    m_walk->owner = this;
    JobSettings own = settings;
    for (FileEntryPtr& entry : own.filePaths) {
        auto copy = std::make_shared<FileEntry>(*entry);
        m_listed.emplace_back(entry, copy);
        entry = std::move(copy);
    }
    m_progress.setInterval(250);
    connect(&m_progress, &QTimer::timeout, this, [this] { emit foundChanged(found()); });
    m_progress.start();
    {
        std::lock_guard handOver(m_walk->lock);
    }
    QThreadPool::globalInstance()->start([walk = m_walk, own = std::move(own)] {
        {
            std::lock_guard handOver(walk->lock);
        }
        SendPlan plan = SendPlan::collect(own, &walk->found);
        {
            std::lock_guard handOver(walk->lock);
            walk->plan = std::move(plan);
        }
        // To the application object, which outlives the preparation: the walk says whether
        // anyone still waits.
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [walk] {
                if (walk->owner)
                    walk->owner->finish();
            },
            Qt::QueuedConnection);
    });
}

SendListPreparation::~SendListPreparation()
{
    m_walk->owner = nullptr;
}

std::size_t SendListPreparation::found() const
{
    return m_walk->found.load(std::memory_order_relaxed);
}

void SendListPreparation::finish()
{
    m_progress.stop();
    SendPlan plan;
    {
        std::lock_guard handOver(m_walk->lock);
        plan = std::move(*m_walk->plan);
    }
    for (const auto& [listed, measured] : m_listed)
        listed->filesize = measured->filesize;
    emit ready(plan);
}

}  // namespace kestrap::app
