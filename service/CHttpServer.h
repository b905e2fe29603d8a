// GET /metrics for Prometheus and GET / (the status page for a person),
// over HTTP or HTTPS, on threads of its own.
//
// The handlers copy the store's view and render it; they never talk to a
// device, so a scrape never waits for a poll and a slow client never holds
// up one. With users configured every request must bring one of them
// (basic authentication, bcrypt; 401 otherwise). Other paths get 404,
// other methods 405 (HEAD is served as GET). Every client meets the limits
// below: a client that sends nothing, half a request or too much is cut
// off with an error status or a closed connection, and the workers are few
// and bounded (CHttpWorkers).
#pragma once

#include "CSnapshotStore.h"
#include "HttpAccess.h"

#include <future>
#include <memory>
#include <string>
#include <thread>

struct HttpLimits {
    size_t threads = 4;
    size_t maxQueued = 16;
    // A new connection may stay silent this long (the library's keep-alive
    // wait comes before every request, the first too).
    int keepAliveSeconds = 1;
    // Then each wait for the request line and headers, and for the client to
    // take the answer, is bounded by these.
    int readTimeoutMs = 2000;
    int writeTimeoutMs = 2000;
    // One request a connection: the library would keep even a connection
    // whose request it refused, holding a worker for nothing, and a scrape
    // every few seconds gains nothing from a kept connection.
    size_t requestsPerConnection = 1;
    size_t maxBodyBytes = 4096;  // no request here has a body
    // Stop() waits this long for requests in progress and kept-alive
    // connections (the library notices a stop only between requests).
    int stopWaitMs = 1500;
};

class CHttpServer {
public:
    // The store is shared because a worker stuck on a slow client may
    // outlive the server object (see Stop).
    explicit CHttpServer(std::shared_ptr<const CSnapshotStore> store, HttpLimits limits = {});
    ~CHttpServer();  // Stop()

    CHttpServer(const CHttpServer&) = delete;
    CHttpServer& operator=(const CHttpServer&) = delete;

    // Binds host:port (port 0: any free one) and serves on a thread of its
    // own, with TLS and users as `access` says (certificate and key read
    // now). False with one sentence in *error when the address cannot be
    // had or a TLS file is refused (*badFile then true).
    bool Start(const std::string& host, int port, const HttpAccess& access, std::string* error,
               bool* badFile = nullptr);
    bool Start(const std::string& host, int port, std::string* error)
    {
        return Start(host, port, HttpAccess{}, error);
    }
    // Closes the listening socket and waits up to stopWaitMs for requests in
    // progress. A client that holds a worker beyond that is left to its
    // time-outs on a detached thread, which owns everything it still
    // touches; false then. Safe when not started.
    bool Stop();

    // Whether the TLS files of `access` can be used, without serving
    // anything: one sentence in *error when not. True without TLS.
    static bool CanUse(const HttpAccess& access, std::string* error);

    // The port actually bound (the chosen one for port 0); 0 when stopped.
    int Port() const { return m_port; }

private:
    struct Serving;  // the library's server and what its threads touch

    std::shared_ptr<const CSnapshotStore> m_store;
    HttpLimits m_limits;
    std::shared_ptr<Serving> m_serving;
    std::thread m_thread;
    std::future<void> m_done;
    int m_port = 0;
};
