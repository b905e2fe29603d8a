// The latest snapshot of every meter, the state of every line and the
// service's own facts: the one thing the pollers and the HTTP and MQTT
// sides share.
//
// Pollers Put() after each poll; readers Copy() or View() the whole set.
// Both hold the lock only for a copy, so a slow reader never holds up a
// poller and a poller never talks to a device under it. Thread-safe.
#pragma once

#include "MeterSnapshot.h"
#include "ServiceStatus.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class CSnapshotStore {
public:
    // Told of every Put, on the poller's thread, after the lock is let go;
    // it must return at once (the MQTT side keeps the latest and leaves).
    using Observer = std::function<void(const MeterSnapshot&)>;

    CSnapshotStore() = default;
    CSnapshotStore(const CSnapshotStore&) = delete;
    CSnapshotStore& operator=(const CSnapshotStore&) = delete;

    // Set before any poller runs.
    void SetObserver(Observer observer) { m_observer = std::move(observer); }

    // Replaces the snapshot of the meter of that name.
    void Put(const MeterSnapshot& snapshot);
    // Forgets a meter that is no longer configured.
    void Remove(const std::string& name);
    // All meters, ordered by name.
    std::vector<MeterSnapshot> Copy() const;

    // Replaces the status of the line of that port; forgets it.
    void PutLine(const LineStatus& line);
    void RemoveLine(const std::string& port);
    // Changes the service's facts under the lock; `change` must be short.
    void UpdateService(const std::function<void(ServiceFacts&)>& change);

    // Meters, lines and service in one copy.
    ServiceView View() const;

private:
    mutable std::mutex m_lock;
    std::map<std::string, MeterSnapshot> m_meters;  // by name
    std::map<std::string, LineStatus> m_lines;      // by port
    ServiceFacts m_service;
    Observer m_observer;
};
