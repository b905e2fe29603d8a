// What the system the service is built for changes about the program
// itself: MeterdSystem_posix.cpp (Linux, with every library the service
// uses) and MeterdSystem_win32.cpp (Windows, built with mingw-w64, for
// which Debian has no TLS, bcrypt or MQTT library).
#pragma once

#include <string>

// The optional parts this build has. A configuration that asks for one it
// lacks is refused where it asks, at start and by --check: never quietly
// served without it.
struct MeterdAbilities {
    bool tls = true;
    bool basicAuth = true;  // bcrypt
    bool mqtt = true;
    const char* buildName = "this build";  // the refusal's subject
};

MeterdAbilities BuildAbilities();

// The configuration file read when --config is not given.
std::string DefaultConfigPath();

// The end of --help: how the service is ended (and made to reread its
// configuration), and what it exits with.
const char* MeterdHelpFooter();
