// quorvan-meterd: the meters of one or more serial lines, watched around
// the clock, served to Prometheus and an MQTT broker.
//
// The main thread only waits for what the system asks (CServiceSignals):
// to end, or on Linux to reread the configuration.
#include "CBasicAuth.h"
#include "CMeterd.h"
#include "CServiceSignals.h"
#include "ConsoleText.h"
#include "MeterdArgs.h"
#include "MeterdConfig.h"
#include "Password.h"
#include "ServiceLog.h"

#include <cstdio>
#include <cstdlib>

namespace {

int Check(const MeterdConfig& config, const std::string& path)
{
    std::string summary = path + ": ok: " + CountText(config.lines.size(), "line", "lines") + ", " +
                          CountText(MeterCount(config), "meter", "meters") + ", metrics on " +
                          ListenText(config);
    if (config.access.Tls())
        summary += " (TLS)";
    if (!config.access.users.empty())
        summary += " for " + CountText(config.access.users.size(), "user", "users");
    if (config.mqtt.enabled)
        summary += ", broker " + MqttBrokerText(config.mqtt);
    std::puts(summary.c_str());
    return kMeterdExitOk;
}

// The bcrypt hash of a password from standard input, for [http.basic_auth_users].
int HashPassword()
{
    const MeterdAbilities can = BuildAbilities();
    if (!can.basicAuth) {
        std::fprintf(stderr, "quorvan-meterd: --hash-password: %s has no basic authentication\n",
                     can.buildName);
        return kMeterdExitConfig;
    }
    std::string password, error;
    if (!ReadPassword("Password: ", &password) || password.empty()) {
        std::fputs("quorvan-meterd: no password given on standard input\n", stderr);
        return kMeterdExitConfig;
    }
    const std::string hash = BcryptHash(password, &error);
    if (hash.empty()) {
        std::fprintf(stderr, "quorvan-meterd: %s\n", error.c_str());
        return kMeterdExitStart;
    }
    std::puts(hash.c_str());
    return kMeterdExitOk;
}

// Runs until the system asks it to end, rereading `path` when asked to.
int Serve(const MeterdConfig& config, const std::string& path)
{
    CServiceSignals signals;  // before any thread
    CMeterd service(LogToStderr);
    std::string error;
    LogToStderr(std::string("quorvan-meterd ") + QUORVAN_VERSION + " starting with " + path);
    bool badConfig = false;
    if (!service.Start(config, &error, &badConfig)) {
        LogToStderr("quorvan-meterd: " + error);
        return badConfig ? kMeterdExitConfig : kMeterdExitStart;
    }
    while (signals.Wait() == CServiceSignals::kReread) {
        const ConfigResult next = LoadMeterdConfig(path);
        if (next.ok)
            service.Reload(next.config);
        else
            service.ReloadRefused(next.error);
    }
    LogToStderr(std::string("stopping on ") + signals.What());
    const bool clean = service.Stop();
    LogToStderr("stopped");
    if (!clean)
        std::_Exit(kMeterdExitOk);  // an HTTP client still holds a worker; it owns what it uses
    return kMeterdExitOk;
}

}  // namespace

int main(int argc, char** argv)
{
    UseUtf8Console();
    const MeterdArgsResult parsed = ParseMeterdArgs(argc, argv);
    if (!parsed.ok) {
        std::fprintf(stderr, "quorvan-meterd: %s\nTry 'quorvan-meterd --help'.\n",
                     parsed.error.c_str());
        return kMeterdExitConfig;
    }
    if (parsed.args.help) {
        std::fputs(MeterdUsage().c_str(), stdout);
        return kMeterdExitOk;
    }
    if (parsed.args.hashPassword)
        return HashPassword();
    if (parsed.args.version) {
        std::printf("quorvan-meterd %s\n", QUORVAN_VERSION);
        return kMeterdExitOk;
    }
    const ConfigResult loaded = LoadMeterdConfig(parsed.args.configPath);
    if (!loaded.ok) {
        std::fprintf(stderr, "quorvan-meterd: %s\n", loaded.error.c_str());
        return kMeterdExitConfig;
    }
    if (parsed.args.check)
        return Check(loaded.config, parsed.args.configPath);
    return Serve(loaded.config, parsed.args.configPath);
}
