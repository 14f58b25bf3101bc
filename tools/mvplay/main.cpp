// mvplay: plays sound files through the engine, or renders them to a file.
#include "marovel_audio.h"
#include "options.h"
#include "player.h"

#include <cstdio>

int main(int argc, char **argv) {
    catchInterrupts(); // before anything is read, so Ctrl-C always ends cleanly
    Options options;
    std::string error;
    if (!parseOptions(argc, argv, options, error)) {
        std::fprintf(stderr, "mvplay: %s (see mvplay --help)\n", error.c_str());
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(usageText(), stdout);
        return kExitOk;
    }
    if (options.version) {
        std::printf("mvplay %s (engine interface %d)\n", MV_PROJECT_VERSION, mvGetVersion());
        return kExitOk;
    }
    if (options.listDevices) return listDevices();
    return runPlayer(options);
}
