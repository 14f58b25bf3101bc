// Assembler and disassembler for the signal-processor byte code.
//
// Source: one statement per line, `;` or `#` to the end of the line is a
// comment. A statement is optional labels (`name:`), then an instruction
// (mnemonic and comma-separated operands) or a data directive:
//   .byte e, ...   .half e, ...   .word e, ...   .float x, ...
//   .string "text", ...  (zero-terminated)      .zero count
// Operands: registers R0..R19 (aliases pc fp sp lr), numbers (decimal, 0x
// hex, 'c' characters, floats for 32-bit operands), labels with + and -
// offsets, and interrupt names for INT (INT SIN, INT BIQUAD_NEW).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mvasm {

struct Program {
    std::vector<uint8_t> bytes;
    // "file:line:column: message", in source order; empty on success.
    std::vector<std::string> errors;
    std::map<std::string, uint32_t, std::less<>> labels;

    bool ok() const { return errors.empty(); }
    // Address of a label that must exist (0xFFFFFFFF otherwise).
    uint32_t address(std::string_view label) const;
};

Program assemble(std::string_view source, std::string_view fileName = "<input>");

// One line per instruction, each assembling back to the same bytes, with the
// address and the encoding in a trailing comment. Bytes that are no valid
// instruction come out as .byte lines.
std::string disassemble(const uint8_t *bytes, size_t length);

// The interrupt services by name, as the INT instruction accepts them.
std::optional<int> interruptNumber(std::string_view name);
std::string_view interruptName(int number); // empty for an unnamed number

} // namespace mvasm
