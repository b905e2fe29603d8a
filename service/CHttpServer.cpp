#include "CHttpServer.h"

#include "CBasicAuth.h"
#include "CHttpWorkers.h"
#include "MeterFormat.h"
#include "MeterdConfig.h"
#include "MetricsText.h"
#include "ProcessStats.h"
#include "SecretFile.h"
#include "StatusPage.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include <sys/socket.h>

struct CHttpServer::Serving {
    std::unique_ptr<httplib::Server> server;
    std::shared_ptr<const CSnapshotStore> store;
    CBasicAuth auth;
};

namespace {

using Clock = std::chrono::steady_clock;

// A private key is a few KiB; a bigger file is not one.
constexpr size_t kMaxKeyBytes = 64 * 1024;

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

// The oldest OpenSSL error as text, and the queue emptied.
std::string OpenSslError()
{
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// TLS 1.2 or newer, the certificate chain, the key (read as a secret) and,
// with a client CA, a client certificate it signed is required.
bool SetUpTls(SSL_CTX& ctx, const HttpAccess& access, std::string* error)
{
    ERR_clear_error();
    SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    if (SSL_CTX_use_certificate_chain_file(&ctx, access.certFile.c_str()) != 1) {
        *error = "TLS certificate file " + access.certFile + ": " + OpenSslError();
        return false;
    }
    const SecretFile key = ReadSecretFile(access.keyFile, "TLS key file", kMaxKeyBytes);
    if (!key.ok) {
        *error = key.error;
        return false;
    }
    BIO* bio = BIO_new_mem_buf(key.text.data(), static_cast<int>(key.text.size()));
    EVP_PKEY* pkey =
        bio != nullptr ? PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr) : nullptr;
    BIO_free(bio);
    const bool keyOk = pkey != nullptr && SSL_CTX_use_PrivateKey(&ctx, pkey) == 1 &&
                       SSL_CTX_check_private_key(&ctx) == 1;
    EVP_PKEY_free(pkey);
    if (!keyOk) {
        *error = "TLS key file " + access.keyFile + ": " + OpenSslError() +
                 " (a PEM private key without a passphrase, matching " + access.certFile + ")";
        return false;
    }
    if (access.clientCaFile.empty())
        return true;
    STACK_OF(X509_NAME)* names = SSL_load_client_CA_file(access.clientCaFile.c_str());
    if (names == nullptr ||
        SSL_CTX_load_verify_locations(&ctx, access.clientCaFile.c_str(), nullptr) != 1) {
        if (names != nullptr)
            sk_X509_NAME_pop_free(names, X509_NAME_free);
        *error = "TLS client CA file " + access.clientCaFile + ": " + OpenSslError();
        return false;
    }
    SSL_CTX_set_client_CA_list(&ctx, names);
    SSL_CTX_set_verify(&ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT, nullptr);
    return true;
}

std::unique_ptr<httplib::Server> MakeServer(const HttpAccess& access, std::string* error)
{
    if (!access.Tls())
        return std::make_unique<httplib::Server>();
    auto server = std::make_unique<httplib::SSLServer>(
        [&](SSL_CTX& ctx) { return SetUpTls(ctx, access, error); });
    if (!server->is_valid()) {
        if (error->empty())
            *error = "TLS: " + OpenSslError();
        return nullptr;
    }
    return server;
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
    auto server = MakeServer(access, error);
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
    return MakeServer(access, error) != nullptr;
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
