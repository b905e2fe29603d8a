// The HTTP server's Linux side: TLS with OpenSSL, POSIX socket options
// and errno.
#include "HttpServerSystem.h"

#include "SecretFile.h"
#include "SystemError.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>

#include <cerrno>

#include <sys/socket.h>

namespace {

// A private key is a few KiB; a bigger file is not one.
constexpr size_t kMaxKeyBytes = 64 * 1024;

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

}  // namespace

std::unique_ptr<httplib::Server> MakeHttpServer(const HttpAccess& access, std::string* error)
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

// SO_REUSEADDR, so that a restart finds its port free of connections in
// TIME_WAIT; not the library's default SO_REUSEPORT, which would let a
// second service bind the same port.
void SetListenOptions(socket_t sock)
{
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
}

void ClearSocketError()
{
    errno = 0;
}

std::string SocketErrorText()
{
    return errno != 0 ? SystemErrorText(errno) : std::string();
}
