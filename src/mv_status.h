// Diagnostics every area shares: the assertion report through the print hook.
#pragma once

#include "marovel_audio.h"

// Reports a failed internal check and lets execution continue. exprText is a
// string literal holding the checked expression as it is to be printed; it is
// baked into the format so hosts' print functions see one constant format.
// The hook is read once so a host clearing it meanwhile cannot race the call.
#define MV_REPORT_ASSERTION(exprText, file, line)                                      \
    do {                                                                               \
        if (int (*mvPrintHook_)(const char *, ...) = mvPrint)                          \
            mvPrintHook_("Assertion " exprText " failed @ %s : %d\n", (file), (line)); \
    } while (0)
