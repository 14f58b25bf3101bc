// Building the sink -> meter -> mixer -> sampler tree and driving it: on a
// device (thread-safe dispatcher, progress line, keys) or into a file
// through a loopback sink.
#pragma once

#include "options.h"

// Exit statuses of the tool (listed in --help and the man page).
constexpr int kExitOk = 0;
constexpr int kExitEngineError = 1;
constexpr int kExitUsage = 2;
constexpr int kExitSkippedFiles = 3;
constexpr int kExitInterrupted = 130;

// Catches Ctrl-C (and SIGTERM, SIGHUP) from here on: mvplay then stops
// cleanly at its next step.
void catchInterrupts();

int listDevices();
int runPlayer(const Options &options);
