#include "app/SendListPreparation.h"

#include <QPromise>
#include <QThreadPool>

namespace kestrap::app {

SendListPreparation::SendListPreparation(const JobSettings& settings, QObject* parent) : QObject(parent)
{
    JobSettings own = settings;
    for (FileEntryPtr& entry : own.filePaths) {
        auto copy = std::make_shared<FileEntry>(*entry);
        m_listed.emplace_back(entry, copy);
        entry = std::move(copy);
    }
    auto promise = std::make_shared<QPromise<SendPlan>>();
    m_watcher.setFuture(promise->future());
    connect(&m_watcher, &QFutureWatcher<SendPlan>::finished, this, &SendListPreparation::finish);
    m_progress.setInterval(250);
    connect(&m_progress, &QTimer::timeout, this, [this] { emit foundChanged(found()); });
    m_progress.start();
    QThreadPool::globalInstance()->start([promise, own = std::move(own), found = m_found] {
        promise->start();
        promise->addResult(SendPlan::collect(own, found.get()));
        promise->finish();
    });
}

void SendListPreparation::finish()
{
    m_progress.stop();
    for (const auto& [listed, measured] : m_listed)
        listed->filesize = measured->filesize;
    emit ready(m_watcher.result());
}

}  // namespace kestrap::app
