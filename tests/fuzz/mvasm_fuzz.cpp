// libFuzzer harness for the assembler and disassembler. The input is read
// twice: as source text, which must assemble without undefined behaviour
// and, when it assembles, disassemble and reassemble to the same bytes; and
// as byte code, whose disassembly must reassemble to exactly those bytes.
#include "mv_asm.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

// Byte code → text → byte code is the identity.
void checkRoundTrip(const std::vector<uint8_t> &bytes) {
    const std::string text = mvasm::disassemble(bytes.data(), bytes.size());
    const mvasm::Program again = mvasm::assemble(text, "<disassembly>");
    check(again.ok());
    check(again.bytes == bytes);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string_view source(reinterpret_cast<const char *>(data), size);
    const mvasm::Program program = mvasm::assemble(source, "<fuzz>");
    check(program.ok() || program.bytes.empty());
    if (program.ok()) checkRoundTrip(program.bytes);
    if (size <= 0xFFFF) checkRoundTrip(std::vector<uint8_t>(data, data + size));
    return 0;
}
