#include "CSnapshotStore.h"

void CSnapshotStore::Put(const MeterSnapshot& snapshot)
{
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_meters[snapshot.name] = snapshot;
    }
    if (m_observer)
        m_observer(snapshot);
}

void CSnapshotStore::Remove(const std::string& name)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_meters.erase(name);
}

std::vector<MeterSnapshot> CSnapshotStore::Copy() const
{
    std::vector<MeterSnapshot> copy;
    std::lock_guard<std::mutex> hold(m_lock);
    copy.reserve(m_meters.size());
    for (const auto& entry : m_meters)
        copy.push_back(entry.second);
    return copy;
}
