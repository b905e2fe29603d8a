#include "MeterdSystem.h"

MeterdAbilities BuildAbilities()
{
    return MeterdAbilities{};
}

std::string DefaultConfigPath()
{
    return "/etc/quorvan-master/meterd.toml";
}

const char* MeterdHelpFooter()
{
    return "\nSignals: SIGHUP rereads the configuration (a bad file is logged and the\n"
           "running one kept); SIGTERM or SIGINT ends the service.\n"
           "\n"
           "Exit status: 0 ended by a signal, or the configuration is good (--check);\n"
           "1 the HTTP listen address cannot be had; 2 usage error or bad configuration\n"
           "(a TLS file that cannot be used included).";
}
