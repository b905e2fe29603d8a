#include "MeterdArgs.h"

#include "MeterdSystem.h"

#include <CLI/CLI.hpp>

namespace {

constexpr const char* kDescription =
    "Polls Quorvan DC energy meters on serial lines and serves their readings to\n"
    "Prometheus (GET /metrics), to a person (the status page, GET /) and, when\n"
    "configured, an MQTT broker.";

// One parser for both parsing and the help text, so they cannot differ.
void Describe(CLI::App& app, MeterdArgs* args)
{
    app.description(kDescription);
    app.footer(MeterdHelpFooter());
    app.set_help_flag("-h,--help", "this text");
    app.add_option("--config", args->configPath,
                   "the configuration file (default " + DefaultConfigPath() + ")")
        ->type_name("FILE");
    app.add_flag("--check", args->check, "check the configuration file, print a summary, exit");
    app.add_flag("--hash-password", args->hashPassword,
                 "read a password from standard input, print its bcrypt hash for "
                 "[http.basic_auth_users], exit");
    app.add_flag("--version", args->version, "the program's version");
}

}  // namespace

MeterdArgsResult ParseMeterdArgs(int argc, const char* const* argv)
{
    MeterdArgsResult result;
    result.args.configPath = DefaultConfigPath();
    try {
        CLI::App app{"", "quorvan-meterd"};
        Describe(app, &result.args);
        app.parse(argc, argv);
        if (result.args.configPath.empty()) {
            result.error = "--config wants a file name";
            return result;
        }
        result.ok = true;
    } catch (const CLI::CallForHelp&) {
        result.args.help = true;
        result.ok = true;
    } catch (const CLI::ParseError& e) {
        result.error = e.what();
    } catch (const std::exception& e) {
        result.error = e.what();
    }
    return result;
}

std::string MeterdUsage()
{
    try {
        MeterdArgs ignored;
        CLI::App app{"", "quorvan-meterd"};
        Describe(app, &ignored);
        return app.help();
    } catch (const std::exception& e) {
        return std::string("quorvan-meterd: ") + e.what() + "\n";
    }
}
