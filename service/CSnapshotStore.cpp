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

void CSnapshotStore::PutLine(const LineStatus& line)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_lines[line.port] = line;
}

void CSnapshotStore::RemoveLine(const std::string& port)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_lines.erase(port);
}

void CSnapshotStore::UpdateService(const std::function<void(ServiceFacts&)>& change)
{
    std::lock_guard<std::mutex> hold(m_lock);
    change(m_service);
}

ServiceView CSnapshotStore::View() const
{
    ServiceView view;
    std::lock_guard<std::mutex> hold(m_lock);
    view.meters.reserve(m_meters.size());
    for (const auto& entry : m_meters)
        view.meters.push_back(entry.second);
    view.lines.reserve(m_lines.size());
    for (const auto& entry : m_lines)
        view.lines.push_back(entry.second);
    view.service = m_service;
    return view;
}
