// The HTTP server's Windows side: plain HTTP (Debian builds no TLS library
// for Windows; the configuration refuses [http.tls] before it gets here),
// Winsock options and errors.
#include "HttpServerSystem.h"

#include "SystemError.h"

std::unique_ptr<httplib::Server> MakeHttpServer(const HttpAccess& access, std::string* error)
{
    if (access.Tls()) {
        *error = "TLS is not part of the Windows build of quorvan-meterd";
        return nullptr;
    }
    return std::make_unique<httplib::Server>();
}

// SO_EXCLUSIVEADDRUSE: no other socket may bind the address while this one
// holds it. Windows' SO_REUSEADDR (the library's default there) would let
// a second server bind the same port and take part of the scrapes.
void SetListenOptions(socket_t sock)
{
    BOOL yes = TRUE;
    setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&yes),
               sizeof yes);
}

void ClearSocketError()
{
    WSASetLastError(0);
}

std::string SocketErrorText()
{
    const int error = WSAGetLastError();
    return error != 0 ? SystemErrorText(error) : std::string();
}
