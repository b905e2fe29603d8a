// The running service: the configuration in force, one poller per line,
// the snapshot store and the HTTP server.
//
// main drives it from its signal loop: Start once, Reload on SIGHUP, Stop
// on SIGTERM. Only that one thread calls it; the pollers and the HTTP
// workers run on threads of their own and meet only in the store.
//
// The MQTT publisher (Start/Stop/Publish) joins here: it is fed through the
// store's observer, started after the HTTP server, restarted by Reload when
// [mqtt] changed, and stopped with the rest.
#pragma once

#include "CHttpServer.h"
#include "CLinePoller.h"
#include "CSnapshotStore.h"
#include "MeterdConfig.h"
#include "ServiceLog.h"

#include <memory>
#include <string>
#include <vector>

class CMeterd {
public:
    explicit CMeterd(LogFn log, LinePollTiming timing = {}, HttpLimits limits = {});
    ~CMeterd();  // Stop()

    CMeterd(const CMeterd&) = delete;
    CMeterd& operator=(const CMeterd&) = delete;

    // Starts the HTTP server, then the lines. False with *error when the
    // listen address cannot be had (nothing is left running then).
    bool Start(const MeterdConfig& config, std::string* error);
    // Takes a new, already checked configuration. Lines whose port and
    // meters are unchanged keep running with their port open; the others
    // stop or start. A new listen address restarts the HTTP server; if it
    // cannot be had, the old one stays. Logs what it did.
    void Reload(const MeterdConfig& next);
    // Ends every line (all at once) and the HTTP server. False when an HTTP
    // client still held a worker and was left behind (see CHttpServer::Stop).
    bool Stop();

    // The HTTP port in use (the chosen one for port 0).
    int HttpPort() const { return m_http.Port(); }
    const CSnapshotStore& Store() const { return *m_store; }

private:
    void StartLine(const LineConfig& line);
    bool Listen(const MeterdConfig& config, std::string* error);
    void ReloadHttp(const MeterdConfig& previous);

    LogFn m_log;
    LinePollTiming m_timing;
    MeterdConfig m_config;  // in force
    std::shared_ptr<CSnapshotStore> m_store;
    std::vector<std::unique_ptr<CLinePoller>> m_lines;
    CHttpServer m_http;
};
