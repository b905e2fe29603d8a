// quorvan-cli: the meter from a shell, for headless machines and scripts.
#include "CliArgs.h"
#include "CliCommands.h"
#include "ConsoleText.h"

#include <cstdio>

int main(int argc, char** argv)
{
    UseUtf8Console();
    const CliParseResult parsed = ParseCliArgs(argc, argv);
    if (!parsed.ok) {
        std::fprintf(stderr, "quorvan-cli: %s\nTry 'quorvan-cli --help'.\n", parsed.error.c_str());
        return kExitUsage;
    }
    if (parsed.options.help) {
        std::fputs(CliUsage(), stdout);
        return kExitOk;
    }
    if (parsed.options.version) {
        std::printf("quorvan-cli %s\n", QUORVAN_VERSION);
        return kExitOk;
    }
    return RunCommand(parsed.options);
}
