// Disassembler and the interrupt-service names shared with the assembler.
#include "mv_asm.h"

#include "mv_dsp_isa.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

namespace mvasm {
namespace {
using mv::dsp::InstructionInfo;
using mv::dsp::kInstructions;
using mv::dsp::Operand;

// The interrupt services by number (frame, math, biquad, reverberator).
constexpr std::pair<int, std::string_view> kInterrupts[] = {
    {0, "ENTER_FRAME"}, {1, "LEAVE_FRAME"},
    {16, "COS"}, {17, "SIN"}, {18, "TAN"}, {19, "ACOS"}, {20, "ASIN"}, {21, "ATAN"},
    {22, "ATAN2"}, {23, "COSH"}, {24, "SINH"}, {25, "TANH"}, {26, "EXP"}, {27, "LOG"},
    {28, "LOG10"}, {29, "POW"}, {30, "SQRT"}, {31, "FMOD"}, {32, "FLOOR"}, {33, "CEIL"},
    {34, "ROUND"}, {35, "FABS"}, {36, "IABS"}, {37, "FSIGN"}, {38, "ISIGN"}, {39, "FMIN"},
    {40, "UMIN"}, {41, "IMIN"}, {42, "FMAX"}, {43, "UMAX"}, {44, "IMAX"},
    {96, "BIQUAD_NEW"}, {97, "BIQUAD_PROCESS"}, {98, "BIQUAD_RESET"}, {99, "BIQUAD_LOWPASS"},
    {100, "BIQUAD_HIGHPASS"}, {101, "BIQUAD_BANDPASS"}, {102, "BIQUAD_NOTCH"},
    {103, "BIQUAD_PEAKING"}, {104, "BIQUAD_ALLPASS"}, {105, "BIQUAD_LOWSHELF"},
    {106, "BIQUAD_HIGHSHELF"},
    {112, "REVERB_NEW"}, {113, "REVERB_PROCESS"}, {114, "REVERB_MUTE"},
    {115, "REVERB_ROOM_SIZE"}, {116, "REVERB_DAMP"}, {117, "REVERB_WET"}, {118, "REVERB_DRY"},
    {119, "REVERB_WIDTH"}, {120, "REVERB_MODE"},
};

constexpr std::array<std::string_view, 4> kRegisterAliases = {"pc", "fp", "sp", "lr"};
constexpr int kFirstAliased = 16;
constexpr int kCodeColumn = 32;

std::string registerName(uint8_t number) {
    if (number >= kFirstAliased) return std::string(kRegisterAliases[number - kFirstAliased]);
    return "R" + std::to_string(number);
}

std::string hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, value);
    return text;
}

// Whether the bytes at at decode as a whole instruction with valid registers.
bool decodable(const uint8_t *bytes, size_t at, size_t length) {
    if (bytes[at] >= mv::dsp::OPCODE_COUNT) return false;
    const InstructionInfo &info = kInstructions[bytes[at]];
    if (at + info.length() > length) return false;
    size_t offset = at + 1;
    for (int i = 0; i < info.operandCount(); ++i) {
        if (info.operands[i] == Operand::Register && bytes[offset] >= mv::dsp::kRegisterCount)
            return false;
        offset += mv::dsp::operandSize(info.operands[i]);
    }
    return true;
}

std::string operandText(Operand kind, const uint8_t *at) {
    const uint32_t half = uint32_t(at[0] | at[1] << 8);
    switch (kind) {
    case Operand::Register: return registerName(at[0]);
    case Operand::Imm8: return std::to_string(at[0]);
    case Operand::Imm16: return std::to_string(half);
    case Operand::Address: return hex(half, 4);
    case Operand::Imm32: return hex(half | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24, 8);
    case Operand::Interrupt: {
        const std::string_view name = interruptName(at[0]);
        return name.empty() ? std::to_string(at[0]) : std::string(name);
    }
    case Operand::None: break;
    }
    return {};
}

std::string instructionText(const uint8_t *at) {
    const InstructionInfo &info = kInstructions[at[0]];
    std::string text(info.mnemonic);
    const uint8_t *operand = at + 1;
    for (int i = 0; i < info.operandCount(); ++i) {
        text += i ? ", " : " ";
        text += operandText(info.operands[i], operand);
        operand += mv::dsp::operandSize(info.operands[i]);
    }
    return text;
}

} // namespace

std::optional<int> interruptNumber(std::string_view name) {
    for (const auto &[number, known] : kInterrupts) {
        if (known.size() != name.size()) continue;
        bool same = true;
        for (size_t i = 0; i < name.size() && same; ++i)
            same = std::toupper(uint8_t(name[i])) == known[i];
        if (same) return number;
    }
    return std::nullopt;
}

std::string_view interruptName(int number) {
    for (const auto &[known, name] : kInterrupts)
        if (known == number) return name;
    return {};
}

std::string disassemble(const uint8_t *bytes, size_t length) {
    std::string out;
    for (size_t at = 0; at < length;) {
        const bool valid = decodable(bytes, at, length);
        const size_t size = valid ? size_t(kInstructions[bytes[at]].length()) : 1;
        std::string line = "    " + (valid ? instructionText(bytes + at)
                                           : ".byte " + hex(bytes[at], 2));
        line.resize(std::max<size_t>(line.size() + 1, kCodeColumn), ' ');
        char address[32];
        std::snprintf(address, sizeof address, "; %04zX:", at);
        line += address;
        for (size_t i = 0; i < size; ++i) line += " " + hex(bytes[at + i], 2).substr(2);
        out += line + "\n";
        at += size;
    }
    return out;
}

} // namespace mvasm
