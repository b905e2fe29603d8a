#include "CHttpServer.h"

#include "CHttpWorkers.h"
#include "MeterdConfig.h"
#include "MetricsText.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include <sys/socket.h>

struct CHttpServer::Serving {
    httplib::Server server;
    std::shared_ptr<const CSnapshotStore> store;
};

namespace {

using Clock = std::chrono::steady_clock;

// SO_REUSEADDR, so that a restart finds its port free of connections in
// TIME_WAIT; not the library's default SO_REUSEPORT, which would let a
// second service bind the same port and quietly take half the scrapes.
void ReuseAddressOnly(socket_t sock)
{
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

void SetLimits(httplib::Server& s, const HttpLimits& limits)
{
    s.set_socket_options(ReuseAddressOnly);
    s.new_task_queue = [limits] { return new CHttpWorkers(limits.threads, limits.maxQueued); };
    s.set_read_timeout(limits.readTimeoutMs / 1000, (limits.readTimeoutMs % 1000) * 1000);
    s.set_write_timeout(limits.writeTimeoutMs / 1000, (limits.writeTimeoutMs % 1000) * 1000);
    s.set_keep_alive_timeout(limits.keepAliveSeconds);
    s.set_keep_alive_max_count(limits.requestsPerConnection);
    s.set_payload_max_length(limits.maxBodyBytes);
}

httplib::Server::HandlerResponse OnlyGet(const httplib::Request& req, httplib::Response& res)
{
    if (req.method == "GET" || req.method == "HEAD")
        return httplib::Server::HandlerResponse::Unhandled;
    res.status = 405;
    res.set_header("Allow", "GET, HEAD");
    res.set_content("405 method not allowed: this service only reads\n", "text/plain");
    return httplib::Server::HandlerResponse::Handled;
}

// A short body for each error status the library or a handler sets.
void ErrorBody(const httplib::Request&, httplib::Response& res)
{
    if (!res.body.empty())
        return;
    if (res.status == 404)
        res.set_content("404 not found: the metrics are at /metrics\n", "text/plain");
    else
        res.set_content(std::to_string(res.status) + "\n", "text/plain");
}

void Failed(const httplib::Request&, httplib::Response& res, std::exception_ptr)
{
    res.status = 500;
    res.set_content("500 internal error\n", "text/plain");
}

}  // namespace

CHttpServer::CHttpServer(std::shared_ptr<const CSnapshotStore> store, HttpLimits limits)
    : m_store(std::move(store)), m_limits(limits)
{
}

CHttpServer::~CHttpServer()
{
    Stop();
}

bool CHttpServer::Start(const std::string& host, int port, std::string* error)
{
    Stop();
    auto serving = std::make_shared<Serving>();
    serving->store = m_store;
    httplib::Server& s = serving->server;
    SetLimits(s, m_limits);
    s.set_pre_routing_handler(OnlyGet);
    s.set_error_handler(ErrorBody);
    s.set_exception_handler(Failed);
    // The raw pointer lives as long as `serving`, which outlives every request.
    const CSnapshotStore* store = serving->store.get();
    s.Get("/metrics", [store](const httplib::Request&, httplib::Response& res) {
        std::string body;
        RenderMetrics(store->Copy(), &body);
        res.set_content(std::move(body), kMetricsContentType);
    });

    errno = 0;
    const int bound =
        port == 0 ? s.bind_to_any_port(host) : (s.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        *error = "cannot listen on " + ListenText(host, port) +
                 (errno != 0 ? std::string(": ") + std::strerror(errno) : std::string());
        return false;
    }
    std::promise<void> done;
    m_done = done.get_future();
    // The thread holds `serving` until the library lets go of its last client.
    m_thread = std::thread([serving, done = std::move(done)]() mutable {
        serving->server.listen_after_bind();
        done.set_value();
    });
    m_serving = std::move(serving);
    m_port = bound;
    return true;
}

bool CHttpServer::Stop()
{
    if (!m_serving)
        return true;
    // stop() does nothing until the thread has entered the accept loop, so
    // it is repeated until the loop is seen to end.
    const auto deadline = Clock::now() + std::chrono::milliseconds(m_limits.stopWaitMs);
    bool ended = false;
    while (!ended && Clock::now() < deadline) {
        m_serving->server.stop();
        ended = m_done.wait_for(std::chrono::milliseconds(10)) == std::future_status::ready;
    }
    if (ended)
        m_thread.join();
    else
        m_thread.detach();
    m_serving.reset();
    m_port = 0;
    return ended;
}
