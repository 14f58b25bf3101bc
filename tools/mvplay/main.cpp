// mvplay: plays sound files through the engine, or renders them to a file.
#include "options.h"
#include "player.h"

#include <cstdio>

int main(int argc, char **argv)
{
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "mvplay: %s\n%s", error.c_str(), usageText());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return kExitOk;
    }
    if (options.listDevices) return listDevices();
    return runPlayer(options);
}
