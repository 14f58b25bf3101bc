// Disassembler and the interrupt-service names shared with the assembler.
#include "mv_asm.h"
#include "mv_dsp_interrupts.h"
#include "mv_dsp_isa.h"

#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

namespace mvasm {
namespace {
using mv::InstructionInfo;
using mv::kInstructions;
using mv::MvDspInterrupt;
using mv::Operand;

// The interrupt services by name; the numbers come from the services' enum.
#define SERVICE(name) \
    std::pair<int, std::string_view> { int(MvDspInterrupt::name), #name }
constexpr std::pair<int, std::string_view> kInterrupts[] = {
    SERVICE(ENTER_FRAME),
    SERVICE(LEAVE_FRAME),
    SERVICE(COS),
    SERVICE(SIN),
    SERVICE(TAN),
    SERVICE(ACOS),
    SERVICE(ASIN),
    SERVICE(ATAN),
    SERVICE(ATAN2),
    SERVICE(COSH),
    SERVICE(SINH),
    SERVICE(TANH),
    SERVICE(EXP),
    SERVICE(LOG),
    SERVICE(LOG10),
    SERVICE(POW),
    SERVICE(SQRT),
    SERVICE(FMOD),
    SERVICE(FLOOR),
    SERVICE(CEIL),
    SERVICE(ROUND),
    SERVICE(FABS),
    SERVICE(IABS),
    SERVICE(FSIGN),
    SERVICE(ISIGN),
    SERVICE(FMIN),
    SERVICE(UMIN),
    SERVICE(IMIN),
    SERVICE(FMAX),
    SERVICE(UMAX),
    SERVICE(IMAX),
    SERVICE(BIQUAD_NEW),
    SERVICE(BIQUAD_PROCESS),
    SERVICE(BIQUAD_RESET),
    SERVICE(BIQUAD_LOWPASS),
    SERVICE(BIQUAD_HIGHPASS),
    SERVICE(BIQUAD_BANDPASS),
    SERVICE(BIQUAD_NOTCH),
    SERVICE(BIQUAD_PEAKING),
    SERVICE(BIQUAD_ALLPASS),
    SERVICE(BIQUAD_LOWSHELF),
    SERVICE(BIQUAD_HIGHSHELF),
    SERVICE(REVERB_NEW),
    SERVICE(REVERB_PROCESS),
    SERVICE(REVERB_MUTE),
    SERVICE(REVERB_ROOM_SIZE),
    SERVICE(REVERB_DAMP),
    SERVICE(REVERB_WET),
    SERVICE(REVERB_DRY),
    SERVICE(REVERB_WIDTH),
    SERVICE(REVERB_MODE),
};
#undef SERVICE
static_assert(std::size(kInterrupts) == mv::kDspInterruptServiceCount);

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
    if (bytes[at] >= mv::OPCODE_COUNT) return false;
    const InstructionInfo &info = kInstructions[bytes[at]];
    if (at + info.length() > length) return false;
    size_t offset = at + 1;
    for (int i = 0; i < info.operandCount(); ++i) {
        if (info.operands[i] == Operand::Register && bytes[offset] >= mv::kRegisterCount)
            return false;
        offset += mv::operandSize(info.operands[i]);
    }
    return true;
}

// Reads only the operand's own bytes: the last operand may end the buffer.
std::string operandText(Operand kind, const uint8_t *at) {
    const auto half = [at] { return uint32_t(at[0] | at[1] << 8); };
    switch (kind) {
    case Operand::Register: return registerName(at[0]);
    case Operand::Imm8: return std::to_string(at[0]);
    case Operand::Imm16: return std::to_string(half());
    case Operand::Address: return hex(half(), 4);
    case Operand::Imm32: return hex(half() | uint32_t(at[2]) << 16 | uint32_t(at[3]) << 24, 8);
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
        operand += mv::operandSize(info.operands[i]);
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
        std::string line =
            "    " + (valid ? instructionText(bytes + at) : ".byte " + hex(bytes[at], 2));
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
