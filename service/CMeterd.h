// The running service: the configuration in force, one poller per line,
// the snapshot store and the HTTP server.
//
// main drives it from its signal loop: Start once, Reload on SIGHUP, Stop
// on SIGTERM. Only that one thread calls it; the pollers and the HTTP
// workers run on threads of their own and meet only in the store.
//
// The MQTT publisher is fed through the store's observer (on the pollers'
// threads, under a short lock of its own), started after the HTTP server,
// replaced by Reload when [mqtt] changed, and stopped last, so that the
// meters' last states and "offline" still reach the broker.
#pragma once

#include "CHttpServer.h"
#include "CLinePoller.h"
#include "CMqttPublisher.h"
#include "CSnapshotStore.h"
#include "MeterdConfig.h"
#include "ServiceLog.h"

#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CMeterd {
public:
    explicit CMeterd(LogFn log, LinePollTiming timing = {}, HttpLimits limits = {});
    ~CMeterd();  // Stop()

    CMeterd(const CMeterd&) = delete;
    CMeterd& operator=(const CMeterd&) = delete;

    // Starts the HTTP server, the broker connection, then the lines. False
    // with *error when the listen address cannot be had, or a TLS file or
    // the broker settings are refused (*badConfig then true); nothing is
    // left running.
    bool Start(const MeterdConfig& config, std::string* error, bool* badConfig = nullptr);
    // Takes a new, already checked configuration. Lines whose port and
    // meters are unchanged keep running with their port open; the others
    // stop or start; meters that left are forgotten, on the broker too. A
    // new listen address or access restarts the HTTP server (with TLS it
    // always restarts, so renewed certificates are read); if it cannot be
    // had, the old one stays. Logs what it did.
    void Reload(const MeterdConfig& next);
    // A reload was refused (the file is bad): logged, and shown on
    // /metrics and the status page; the running configuration stays. A
    // reload whose listen address, TLS files or broker settings could not
    // be used shows the same, beside the parts it did take.
    void ReloadRefused(const std::string& error);
    // Ends every line (all at once), the HTTP server and the broker
    // connection. False when an HTTP client still held a worker and was left
    // behind (see CHttpServer::Stop).
    bool Stop();

private:
    // The publisher in force, swapped by Reload while pollers publish.
    struct MqttSlot {
        std::mutex lock;
        std::unique_ptr<CMqttPublisher> publisher;
    };

    void StartLine(const LineConfig& line);
    // A started publisher for `settings`, fed the latest snapshots; nullptr
    // with *error when the settings are refused, or when MQTT is off.
    std::unique_ptr<CMqttPublisher> StartMqtt(const MqttSettings& settings, std::string* error);
    void ReloadMqtt(const MeterdConfig& previous);
    void ForgetMeters(const MeterdConfig& previous);
    // Puts `next` in the slot; returns the one it replaces.
    std::unique_ptr<CMqttPublisher> SwapMqtt(std::unique_ptr<CMqttPublisher> next);
    bool Listen(const MeterdConfig& config, std::string* error, bool* badFile = nullptr);
    void ReloadHttp(const MeterdConfig& previous);
    void PartlyRefused(const std::string& error);

    LogFn m_log;
    LinePollTiming m_timing;
    MeterdConfig m_config;  // in force
    std::shared_ptr<CSnapshotStore> m_store;
    std::shared_ptr<MqttSlot> m_mqtt;
    std::vector<std::unique_ptr<CLinePoller>> m_lines;
    CHttpServer m_http;
};
