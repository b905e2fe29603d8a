// The HTTP side against real sockets on loopback: what a scraper and a
// person get, over HTTP and HTTPS, with and without users; and what slow,
// half-open, malformed and too many clients get, while /metrics keeps
// answering.
#include "CBasicAuth.h"
#include "CHttpServer.h"
#include "TestCerts.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <cerrno>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::shared_ptr<CSnapshotStore> StoreWithOneMeter()
{
    auto store = std::make_shared<CSnapshotStore>();
    MeterSnapshot m;
    m.name = "battery";
    m.port = "COM1";
    m.address = 1;
    m.up = true;
    m.haveReading = true;
    m.reading = Measurement{5123, 450, 2305, 12345, 0, 0};
    m.polls = 1;
    store->Put(m);
    return store;
}

// A raw TCP client, for what no well-behaved client library sends.
class RawClient {
public:
    // Connects without blocking: past the server's backlog a connect would
    // wait for SYN retries, and a flood test does not care when it completes.
    explicit RawClient(int port)
        : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected =
            connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 || errno == EINPROGRESS;
    }
    // Waits until the connection is made.
    bool Established(std::chrono::milliseconds limit = 5000ms) const
    {
        pollfd p{m_fd, POLLOUT, 0};
        return m_connected && poll(&p, 1, static_cast<int>(limit.count())) == 1 &&
               (p.revents & POLLOUT) != 0;
    }
    ~RawClient() { close(m_fd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    // All of `bytes`, or what the server took before it closed.
    void Send(const std::string& bytes) const
    {
        if (!Established())
            return;
        size_t done = 0;
        while (done < bytes.size()) {
            pollfd p{m_fd, POLLOUT, 0};
            if (poll(&p, 1, 5000) != 1)
                return;
            const ssize_t n = send(m_fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0 && errno != EAGAIN)
                return;
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    // One response (headers and Content-Length bytes of body), or what came
    // before the server closed or `limit` passed. The server may keep the
    // connection for its keep-alive time after an error, so this does not
    // wait for the close.
    std::string ReadResponse(std::chrono::milliseconds limit = 10000ms) const
    {
        std::string got;
        const auto deadline = Clock::now() + limit;
        while (Clock::now() < deadline && !Complete(got)) {
            pollfd p{m_fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                m_closed = true;
                break;
            }
            got.append(buffer, static_cast<size_t>(n));
        }
        return got;
    }
    // Waits for the server to close the connection.
    bool WaitClosed(std::chrono::milliseconds limit = 10000ms) const
    {
        const auto deadline = Clock::now() + limit;
        while (!m_closed && Clock::now() < deadline) {
            pollfd p{m_fd, POLLIN, 0};
            char buffer[4096];
            if (poll(&p, 1, 20) > 0 && recv(m_fd, buffer, sizeof buffer, 0) <= 0)
                m_closed = true;
        }
        return m_closed;
    }
    // True while the server has neither answered nor closed.
    bool StillWaiting() const
    {
        pollfd p{m_fd, POLLIN, 0};
        return poll(&p, 1, 0) == 0;
    }
    bool Closed() const { return m_closed; }

private:
    static bool Complete(const std::string& response)
    {
        const size_t end = response.find("\r\n\r\n");
        if (end == std::string::npos)
            return false;
        const size_t at = response.find("Content-Length: ");
        const size_t length = at < end ? std::stoul(response.substr(at + 16)) : 0;
        return response.size() >= end + 4 + length;
    }

    int m_fd;
    bool m_connected = false;
    mutable bool m_closed = false;
};

int StatusOf(const std::string& response)
{
    return response.rfind("HTTP/1.1 ", 0) == 0 ? std::stoi(response.substr(9, 3)) : 0;
}

class HttpServer : public ::testing::Test {
protected:
    void StartWith(HttpLimits limits)
    {
        m_server = std::make_unique<CHttpServer>(m_store, limits);
        std::string error;
        ASSERT_TRUE(m_server->Start("127.0.0.1", 0, &error)) << error;
        ASSERT_GT(m_server->Port(), 0);
    }
    httplib::Result Get(const std::string& path) const
    {
        httplib::Client client("127.0.0.1", m_server->Port());
        client.set_read_timeout(10, 0);
        return client.Get(path.c_str());
    }

    std::shared_ptr<CSnapshotStore> m_store = StoreWithOneMeter();
    std::unique_ptr<CHttpServer> m_server;
};

TEST_F(HttpServer, MetricsAndWhatElseAClientMayAsk)
{
    StartWith(HttpLimits{});
    auto metrics = Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->status, 200);
    EXPECT_EQ(metrics->get_header_value("Content-Type"),
              "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_NE(metrics->body.find("quorvan_meter_voltage_volts{meter=\"battery\"} 51.23\n"),
              std::string::npos)
        << metrics->body;
    EXPECT_NE(metrics->body.find("\nprocess_open_fds "), std::string::npos) << metrics->body;

    auto page = Get("/");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
    EXPECT_EQ(page->get_header_value("Content-Type"), "text/html; charset=utf-8");
    EXPECT_NE(page->body.find("<meta http-equiv=\"refresh\" content=\"5\">"), std::string::npos);
    EXPECT_NE(page->body.find("<td>battery</td>"), std::string::npos) << page->body;
    EXPECT_NE(page->body.find("51.23 V"), std::string::npos) << page->body;
    EXPECT_EQ(page->body.find("<script"), std::string::npos);
    EXPECT_EQ(page->body.find("http://"), std::string::npos) << "nothing from elsewhere";

    auto other = Get("/favicon.ico");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 404);
    EXPECT_EQ(other->body, "404 not found: the status page is at /, the metrics at /metrics\n");

    // Nothing writes through HTTP: every method but GET and HEAD is refused.
    httplib::Client client("127.0.0.1", m_server->Port());
    for (const char* method : {"POST", "PUT", "DELETE", "PATCH"}) {
        RawClient raw(m_server->Port());
        raw.Send(std::string(method) +
                 " /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 0\r\n"
                 "Connection: close\r\n\r\n");
        const std::string response = raw.ReadResponse();
        EXPECT_EQ(StatusOf(response), 405) << method << ": " << response;
        EXPECT_NE(response.find("Allow: GET, HEAD\r\n"), std::string::npos) << response;
    }
    auto head = client.Head("/metrics");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
}

// With the real time-outs: a client that sends nothing and one that stops
// halfway through the request line hold a worker each until their
// time-outs; meanwhile garbage, an oversized header and a huge body are
// refused at once, each on a connection that then closes, and /metrics
// answers.
TEST_F(HttpServer, BadClientsMeetErrorsAndTimeOutsWhileMetricsAnswer)
{
    const HttpLimits limits;
    StartWith(limits);
    RawClient silent(m_server->Port());
    RawClient half(m_server->Port());
    ASSERT_TRUE(silent.Established() && half.Established());
    half.Send("GET /metr");
    const auto stalled = Clock::now();

    RawClient garbage(m_server->Port());
    garbage.Send(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03\r\n\r\n", 15));
    EXPECT_EQ(StatusOf(garbage.ReadResponse()), 400);

    RawClient huge(m_server->Port());
    huge.Send("GET /metrics HTTP/1.1\r\nHost: x\r\nX-Filler: " + std::string(64 * 1024, 'a') +
              "\r\n\r\n");
    EXPECT_EQ(StatusOf(huge.ReadResponse()), 400);

    // Refused before a byte of the body is read.
    RawClient body(m_server->Port());
    body.Send("POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 100000000\r\n\r\n");
    EXPECT_EQ(StatusOf(body.ReadResponse()), 405);

    auto metrics = Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->status, 200);
    EXPECT_TRUE(silent.StillWaiting() && half.StillWaiting())
        << "the stalled clients were cut off before /metrics answered: the check proves nothing";

    EXPECT_TRUE(garbage.WaitClosed(100ms) && huge.WaitClosed(100ms) && body.WaitClosed(100ms));

    // The stalled ones are cut off by their time-outs, the half request not
    // before the read time-out; the service goes on.
    EXPECT_TRUE(silent.WaitClosed());
    EXPECT_TRUE(half.WaitClosed());
    EXPECT_GE(Clock::now() - stalled, std::chrono::milliseconds(limits.readTimeoutMs));
    EXPECT_TRUE(Get("/metrics"));
}

size_t OpenDescriptors()
{
    size_t n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++n;
    return n;
}

// More idle connections than workers and queue hold: the server takes no
// more of them than that (the rest wait in the kernel's backlog, or for
// their handshake), so a flood cannot use up the descriptors the serial
// lines need. Once the flood goes, /metrics answers.
TEST_F(HttpServer, AFloodOfConnectionsTakesBoundedDescriptors)
{
    HttpLimits limits;
    limits.threads = 2;
    limits.maxQueued = 2;
    limits.keepAliveSeconds = 5;  // the flood must outlast the count
    limits.readTimeoutMs = 5000;
    StartWith(limits);
    const size_t before = OpenDescriptors();
    constexpr size_t kClients = 16;
    std::vector<std::unique_ptr<RawClient>> flood;
    for (size_t i = 0; i < kClients; ++i) {
        flood.push_back(std::make_unique<RawClient>(m_server->Port()));
        flood.back()->Established(300ms);  // past the backlog it waits for SYN retries
    }
    // The accepts have happened once the count holds still.
    size_t count = OpenDescriptors(), stableFor = 0;
    for (int i = 0; i < 250 && stableFor < 10; ++i) {
        std::this_thread::sleep_for(20ms);
        const size_t now = OpenDescriptors();
        stableFor = now == count ? stableFor + 1 : 0;
        count = now;
    }
    const size_t taken = count - before - kClients;
    EXPECT_LE(taken, limits.threads + limits.maxQueued + 1) << "server-side descriptors";

    flood.clear();  // the clients hang up; the workers see it at once
    auto metrics = Get("/metrics");
    ASSERT_TRUE(metrics);
    EXPECT_EQ(metrics->status, 200);
}

TEST_F(HttpServer, AnAddressInUseIsRefusedWithASentence)
{
    StartWith(HttpLimits{});
    CHttpServer second(m_store);
    std::string error;
    EXPECT_FALSE(second.Start("127.0.0.1", m_server->Port(), &error));
    EXPECT_EQ(error, "cannot listen on 127.0.0.1:" + std::to_string(m_server->Port()) +
                         ": Address already in use");
    EXPECT_TRUE(m_server->Stop());
    EXPECT_EQ(m_server->Port(), 0);
}

// HTTPS with users, as Prometheus's exporters have it: no answer but 401
// without the right user and password; the certificate and key as given.
class HttpsServer : public HttpServer {
protected:
    void SetUp() override
    {
        char dir[] = "/tmp/quorvan-tls-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        ASSERT_TRUE(MakeTestCerts(m_dir, &m_certs)) << "openssl could not make certificates";
        std::string error;
        m_access.certFile = m_certs.serverCert;
        m_access.keyFile = m_certs.serverKey;
        m_access.users = {{"prometheus", BcryptHash("scrape pw", &error)},
                          {"grafana", BcryptHash("other", &error)}};
        ASSERT_EQ(m_access.users[0].second.size(), 60u) << error;
    }
    void TearDown() override
    {
        std::error_code ec;
        std::filesystem::remove_all(m_dir, ec);
    }
    bool StartTls(std::string* error, bool* badFile = nullptr)
    {
        m_server = std::make_unique<CHttpServer>(m_store);
        return m_server->Start("127.0.0.1", 0, m_access, error, badFile);
    }
    httplib::Result GetTls(const std::string& path, const std::string& user = "",
                           const std::string& password = "", const std::string& method = "GET")
    {
        httplib::SSLClient client("127.0.0.1", m_server->Port());
        client.set_ca_cert_path(m_certs.ca.c_str());
        client.enable_server_certificate_verification(true);
        client.set_read_timeout(10, 0);
        if (!user.empty())
            client.set_basic_auth(user.c_str(), password.c_str());
        return method == "POST" ? client.Post(path.c_str(), "", "text/plain")
                                : client.Get(path.c_str());
    }

    std::string m_dir;
    TestCerts m_certs;
    HttpAccess m_access;
};

TEST_F(HttpsServer, OnlyAConfiguredUserWithItsPasswordIsServed)
{
    std::string error;
    ASSERT_TRUE(StartTls(&error)) << error;
    auto good = GetTls("/metrics", "prometheus", "scrape pw");
    ASSERT_TRUE(good) << httplib::to_string(good.error());
    EXPECT_EQ(good->status, 200);
    EXPECT_NE(good->body.find("quorvan_meter_up{meter=\"battery\"} 1\n"), std::string::npos);
    auto again = GetTls("/", "prometheus", "scrape pw");  // the remembered pair
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 200);
    auto other = GetTls("/", "grafana", "other");
    ASSERT_TRUE(other);
    EXPECT_EQ(other->status, 200);

    struct Refused {
        const char* user;
        const char* password;
    };
    for (const Refused& r : {Refused{"", ""}, Refused{"prometheus", "scrape p"},
                             Refused{"prometheus", "scrape pw "}, Refused{"grafana", "scrape pw"},
                             Refused{"nobody", "scrape pw"}, Refused{"Prometheus", "scrape pw"}}) {
        // Every path is closed to a stranger; one is enough for a wrong password.
        const bool stranger = r.user[0] == '\0';
        for (const char* path : {"/metrics", "/", "/nothing"}) {
            if (!stranger && path[1] != 'm')
                continue;
            auto res = GetTls(path, r.user, r.password);
            ASSERT_TRUE(res) << r.user;
            EXPECT_EQ(res->status, 401) << r.user << ":" << r.password << " " << path;
            EXPECT_EQ(res->get_header_value("WWW-Authenticate"),
                      "Basic realm=\"quorvan-meterd\", charset=\"UTF-8\"");
            EXPECT_EQ(res->body.find("quorvan_meter"), std::string::npos);
        }
    }
    // A stranger learns nothing, not even which methods there are.
    auto post = GetTls("/metrics", "", "", "POST");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 401);
    auto postAuth = GetTls("/metrics", "prometheus", "scrape pw", "POST");
    ASSERT_TRUE(postAuth);
    EXPECT_EQ(postAuth->status, 405);

    // Plain HTTP on the TLS port gets no answer; the server goes on.
    httplib::Client plain("127.0.0.1", m_server->Port());
    plain.set_read_timeout(3, 0);
    auto cleartext = plain.Get("/metrics");
    EXPECT_TRUE(!cleartext || cleartext->status != 200);
    EXPECT_TRUE(GetTls("/metrics", "prometheus", "scrape pw"));
}

TEST_F(HttpsServer, AClientCaAdmitsOnlyClientsWithItsCertificate)
{
    m_access.users.clear();
    m_access.clientCaFile = m_certs.ca;
    std::string error;
    ASSERT_TRUE(StartTls(&error)) << error;
    httplib::SSLClient without("127.0.0.1", m_server->Port());
    without.enable_server_certificate_verification(false);
    EXPECT_FALSE(without.Get("/metrics"));

    httplib::SSLClient with("127.0.0.1", m_server->Port(), m_certs.clientCert, m_certs.clientKey);
    with.set_ca_cert_path(m_certs.ca.c_str());
    with.enable_server_certificate_verification(true);
    auto res = with.Get("/metrics");
    ASSERT_TRUE(res) << httplib::to_string(res.error());
    EXPECT_EQ(res->status, 200);
}

// Each file the server cannot use is refused at start, by name, with the fix.
TEST_F(HttpsServer, UnusableFilesAreRefusedAtStart)
{
    struct Case {
        const char* what;
        std::function<void(HttpAccess&)> change;
        std::string error;
    };
    const std::string key = m_certs.serverKey;
    const Case cases[] = {
        {"a key others may read", [&](HttpAccess&) { chmod(key.c_str(), 0644); },
         "TLS key file " + key +
             " is open to group or others (mode 0644); make it readable by "
             "the service alone: chmod 600 " +
             key + " (or 640 with the service's own group)"},
        {"a missing certificate", [&](HttpAccess& a) { a.certFile = m_dir + "/missing.crt"; },
         "TLS certificate file " + m_dir + "/missing.crt: "},
        {"a key that is no key",
         [&](HttpAccess& a) {
             a.keyFile = m_certs.ca;
             chmod(m_certs.ca.c_str(), 0600);
         },
         "TLS key file " + m_certs.ca + ": "},
        {"the key of another certificate", [&](HttpAccess& a) { a.keyFile = m_dir + "/ca.key"; },
         "TLS key file " + m_dir + "/ca.key: "},
        {"a missing client CA", [&](HttpAccess& a) { a.clientCaFile = m_dir + "/none.crt"; },
         "TLS client CA file " + m_dir + "/none.crt: "},
    };
    for (const Case& c : cases) {
        const HttpAccess saved = m_access;
        c.change(m_access);
        std::string error;
        bool badFile = false;
        EXPECT_FALSE(StartTls(&error, &badFile)) << c.what;
        EXPECT_TRUE(badFile) << c.what;
        EXPECT_EQ(error.substr(0, c.error.size()), c.error) << c.what;
        m_access = saved;
        chmod(key.c_str(), 0600);
    }
    std::string error;
    EXPECT_TRUE(StartTls(&error)) << error;
}

TEST(BasicAuth, AuthorizationHeaderAndHashes)
{
    std::string user, password;
    EXPECT_TRUE(ParseBasicAuthorization("Basic cHJvbTpzM2M6cmV0", &user, &password));
    EXPECT_EQ(user, "prom");
    EXPECT_EQ(password, "s3c:ret");  // only the first colon divides
    EXPECT_TRUE(ParseBasicAuthorization("basic   OnB3", &user, &password));
    EXPECT_EQ(user, "");
    EXPECT_EQ(password, "pw");
    for (const char* bad : {"", "Basic", "Basic ", "Bearer cHJvbTpw", "Basic cHJvbTpw=",
                            "Basic cHJv bTpw", "Basic cHJvbQ==", "Basic =cHJvbTp"})
        EXPECT_FALSE(ParseBasicAuthorization(bad, &user, &password)) << bad;

    std::string error;
    const std::string hash = BcryptHash("pw", &error);
    ASSERT_EQ(hash.rfind("$2y$10$", 0), 0u) << hash << error;
    EXPECT_NE(BcryptHash("pw", &error), hash) << "each hash has its own salt";
    CBasicAuth auth({{"prom", hash}});
    EXPECT_TRUE(auth.Required());
    EXPECT_TRUE(auth.Allows("Basic cHJvbTpwdw=="));   // prom:pw
    EXPECT_TRUE(auth.Allows("Basic cHJvbTpwdw=="));   // from the cache
    EXPECT_FALSE(auth.Allows("Basic cHJvbTpwVw=="));  // prom:pW
    EXPECT_FALSE(auth.Allows("Basic cHJvbTo="));      // prom: (empty)
    EXPECT_FALSE(auth.Allows(""));
    EXPECT_TRUE(CBasicAuth({}).Allows(""));
}

}  // namespace
