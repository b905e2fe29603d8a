// The latest snapshot of every meter: the one thing the pollers and the
// HTTP and MQTT sides share.
//
// Pollers Put() after each poll; readers Copy() the whole set. Both hold
// the lock only for a copy, so a slow reader never holds up a poller and a
// poller never talks to a device under it. Thread-safe.
#pragma once

#include "MeterSnapshot.h"

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

private:
    mutable std::mutex m_lock;
    std::map<std::string, MeterSnapshot> m_meters;  // by name
    Observer m_observer;
};
