// What CHttpServer leaves to the system it runs on and the libraries it
// has there: CHttpServer_posix.cpp (Linux: TLS with OpenSSL) and
// CHttpServer_win32.cpp (Windows: plain HTTP). For CHttpServer alone.
#pragma once

#include "HttpAccess.h"

#include <httplib.h>

#include <memory>
#include <string>

// The library's server for `access`: plain, or TLS with the files of
// `access` read now. nullptr with one sentence in *error when a file is
// refused or this build cannot serve what `access` asks.
std::unique_ptr<httplib::Server> MakeHttpServer(const HttpAccess& access, std::string* error);

// The listening socket's options: its address may be bound again at once
// after a restart, but never shared with a second server, which would
// quietly take part of the scrapes.
void SetListenOptions(socket_t sock);

// Around a bind: forget the last socket error, then say why the bind
// failed ("" when the system did not say).
void ClearSocketError();
std::string SocketErrorText();
