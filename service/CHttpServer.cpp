#include "CHttpServer.h"

#include "CBasicAuth.h"
#include "CHttpWorkers.h"
#include "HttpServerSystem.h"
#include "MeterFormat.h"
#include "MeterdConfig.h"
#include "MetricsText.h"
#include "ProcessStats.h"
#include "StatusPage.h"

#include <chrono>

struct CHttpServer::Serving {
    std::unique_ptr<httplib::Server> server;
    std::shared_ptr<const CSnapshotStore> store;
    CBasicAuth auth;
};

namespace {

using Clock = std::chrono::steady_clock;

void SetLimits(httplib::Server& s, const HttpLimits& limits)
{
    s.set_socket_options(SetListenOptions);
    s.new_task_queue = [limits] { return new CHttpWorkers(limits.threads, limits.maxQueued); };
    s.set_read_timeout(limits.readTimeoutMs / 1000, (limits.readTimeoutMs % 1000) * 1000);
    s.set_write_timeout(limits.writeTimeoutMs / 1000, (limits.writeTimeoutMs % 1000) * 1000);
    s.set_keep_alive_timeout(limits.keepAliveSeconds);
    s.set_keep_alive_max_count(limits.requestsPerConnection);
    s.set_payload_max_length(limits.maxBodyBytes);
}

httplib::Server::HandlerResponse Refuse(httplib::Response& res, int status, const char* text)
{
    res.status = status;
    res.set_content(text, "text/plain");
    return httplib::Server::HandlerResponse::Handled;
}

// Users first, so that a stranger learns nothing; then only GET and HEAD.
httplib::Server::HandlerResponse Admit(CBasicAuth& auth, const httplib::Request& req,
                                       httplib::Response& res)
{
    if (auth.Required() && !auth.Allows(req.get_header_value("Authorization"))) {
        res.set_header("WWW-Authenticate", "Basic realm=\"quorvan-meterd\", charset=\"UTF-8\"");
        return Refuse(res, 401, "401 unauthorized: this service needs a user and password\n");
    }
    if (req.method == "GET" || req.method == "HEAD")
        return httplib::Server::HandlerResponse::Unhandled;
    res.set_header("Allow", "GET, HEAD");
    return Refuse(res, 405, "405 method not allowed: this service only reads\n");
}

// A short body for each error status the library or a handler sets.
void ErrorBody(const httplib::Request&, httplib::Response& res)
{
    if (!res.body.empty())
        return;
    if (res.status == 404)
        res.set_content("404 not found: the status page is at /, the metrics at /metrics\n",
                        "text/plain");
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

bool CHttpServer::Start(const std::string& host, int port, const HttpAccess& access,
                        std::string* error, bool* badFile)
{
    Stop();
    error->clear();
    auto server = MakeHttpServer(access, error);
    if (!server) {
        if (badFile != nullptr)
            *badFile = true;
        return false;
    }
    auto serving =
        std::shared_ptr<Serving>(new Serving{std::move(server), m_store, CBasicAuth(access.users)});
    httplib::Server& s = *serving->server;
    SetLimits(s, m_limits);
    // Raw pointers to what `serving` owns; it outlives every request.
    Serving* shared = serving.get();
    s.set_pre_routing_handler([shared](const httplib::Request& req, httplib::Response& res) {
        return Admit(shared->auth, req, res);
    });
    s.set_error_handler(ErrorBody);
    s.set_exception_handler(Failed);
    const CSnapshotStore* store = serving->store.get();
    s.Get("/metrics", [store](const httplib::Request&, httplib::Response& res) {
        std::string body;
        RenderMetrics(store->View(), ReadProcessStats(), &body);
        res.set_content(std::move(body), kMetricsContentType);
    });
    s.Get("/", [store](const httplib::Request&, httplib::Response& res) {
        std::string body;
        RenderStatusPage(store->View(), UnixMillisNow(), &body);
        res.set_header("Cache-Control", "no-store");
        res.set_content(std::move(body), kStatusContentType);
    });

    ClearSocketError();
    const int bound =
        port == 0 ? s.bind_to_any_port(host) : (s.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        const std::string why = SocketErrorText();
        *error = "cannot listen on " + ListenText(host, port) + (why.empty() ? "" : ": " + why);
        return false;
    }
    std::promise<void> done;
    m_done = done.get_future();
    // The thread holds `serving` until the library lets go of its last client.
    m_thread = std::thread([serving, done = std::move(done)]() mutable {
        serving->server->listen_after_bind();
        done.set_value();
    });
    m_serving = std::move(serving);
    m_port = bound;
    return true;
}

bool CHttpServer::CanUse(const HttpAccess& access, std::string* error)
{
    error->clear();
    return MakeHttpServer(access, error) != nullptr;
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
        m_serving->server->stop();
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
