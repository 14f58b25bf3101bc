// Signal-processor programs for tests, written in assembly.
#pragma once

#include "mv_asm.h"

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

// The program's bytes; a source that does not assemble fails the test.
inline std::vector<uint8_t> assembleForTest(std::string_view source) {
    const mvasm::Program program = mvasm::assemble(source, "test");
    std::string errors;
    for (const std::string &error : program.errors) errors += error + "\n";
    EXPECT_TRUE(program.ok()) << errors;
    return program.bytes;
}
