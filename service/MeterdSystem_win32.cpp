// The service on Windows: a console program, configured by a file beside
// it unless told otherwise, without the parts whose libraries Debian does
// not build for Windows.
#include "MeterdSystem.h"

#include <windows.h>

MeterdAbilities BuildAbilities()
{
    MeterdAbilities can;
    can.tls = false;
    can.basicAuth = false;
    can.mqtt = false;
    can.buildName = "the Windows build of quorvan-meterd";
    return can;
}

// meterd.toml in the program's own folder, so that the unpacked folder is
// all there is to it. In the system's code page, as the program's
// arguments are.
std::string DefaultConfigPath()
{
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0)
            return "meterd.toml";
        if (n < path.size()) {
            path.resize(n);
            break;
        }
        path.resize(path.size() * 2);  // a long path: cut short, try again
    }
    const size_t slash = path.find_last_of("\\/");
    return (slash == std::string::npos ? std::string() : path.substr(0, slash + 1)) + "meterd.toml";
}

const char* MeterdHelpFooter()
{
    return "\nCtrl+C, Ctrl+Break or closing the console window ends the service. A\n"
           "changed configuration is read when the service starts again (check it\n"
           "first with --check). Not in the Windows build: TLS, basic authentication\n"
           "(--hash-password) and MQTT; a configuration that asks for them is refused.\n"
           "\n"
           "Exit status: 0 ended by Ctrl+C or Ctrl+Break, or the configuration is good\n"
           "(--check); 1 the HTTP listen address cannot be had; 2 usage error or bad\n"
           "configuration.";
}
