#include "job/TemporaryLedger.h"

namespace kestrap {

TemporaryLedger& TemporaryLedger::process()
{
    // Never destroyed: a copy thread given up on while its device stopped answering may end
    // its upload, and tell this, while the process exits.
    static auto* const ledger = new TemporaryLedger;
    return *ledger;
}

void TemporaryLedger::made(const QString& udid, const QString& root, const Item& item)
{
    std::lock_guard guard(m_lock);
    m_items[{udid, root}][item.path] = item.oldFileOf;
}

void TemporaryLedger::unmade(const QString& udid, const QString& root, const QString& path)
{
    std::lock_guard guard(m_lock);
    const auto it = m_items.find({udid, root});
    if (it == m_items.end())
        return;
    it->second.erase(path);
    if (it->second.empty())
        m_items.erase(it);
}

std::vector<TemporaryLedger::Item> TemporaryLedger::take(const QString& udid, const QString& root)
{
    std::map<QString, QString> items;
    {
        std::lock_guard guard(m_lock);
        const auto it = m_items.find({udid, root});
        if (it == m_items.end())
            return {};
        items.swap(it->second);
        m_items.erase(it);
    }
    std::vector<Item> taken;
    taken.reserve(items.size());
    for (auto& [path, oldFileOf] : items)
        taken.push_back({path, oldFileOf});
    return taken;
}

}  // namespace kestrap
