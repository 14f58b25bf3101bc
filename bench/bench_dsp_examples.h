// The example signal-processor programs of examples/dsp, assembled in
// process for the benchmarks that attach them (MV_DSP_EXAMPLES_DIR is set by
// bench/CMakeLists.txt).
#pragma once

#include "mv_asm.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace mvbench {

// The program's bytes; empty when the file is missing or does not assemble.
inline std::vector<uint8_t> assembledExample(const std::string &name) {
    std::ifstream in(std::string(MV_DSP_EXAMPLES_DIR) + "/" + name);
    if (!in) return {};
    const mvasm::Program program =
        mvasm::assemble(std::string(std::istreambuf_iterator<char>(in), {}), name);
    return program.ok() ? program.bytes : std::vector<uint8_t>{};
}

} // namespace mvbench
