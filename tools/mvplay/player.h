// Building the sink -> mixer -> sampler tree and driving it: on a device
// (thread-safe dispatcher, progress line, Ctrl-C) or into a WAV file
// through a loopback sink.
#pragma once

#include "options.h"

// Exit statuses of the tool.
constexpr int kExitOk = 0;
constexpr int kExitEngineError = 1;
constexpr int kExitUsage = 2;

int listDevices();
int runPlayer(const Options &options);
