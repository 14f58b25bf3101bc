// The signal-processor assembler: syntax, encodings, round trips through the
// disassembler, and its error messages.
#include "dsp/mv_dsp_isa.h"
#include "dsp_assembly.h"
#include "marovel_audio.h"
#include "mv_asm.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

// Every opcode at least once, in the forms people write.
constexpr const char *kEveryOpcode = R"(
; every instruction of the set
start:  NOP
        HALT
        INT SIN
        int biquad_new          # names are case-insensitive
        INT 255
        LDI32 R1, 0xDEADBEEF
        LDI32 R2, -1.5e3
        LDI32 R3, -1
        LDI16 R4, table
        LDI8  R5, 'A'
        MOV   fp, sp
        PUSH  lr
        POP   R19
        POP2  R1, R2
        DUP
        CALL  sub
        RET
        ST32  table, R1
        ST32R R4, R1
        ST16  table + 2, R1
        ST16R R4, R1
        ST8   table - 1, R1
        ST8R  R4, R1
        LD32  R1, table
        LD32R R1, R4
        LD16  R1, 0x20
        LD16R R1, R4
        LD8   R1, end
        LD8R  R1, R4
        COPY  table, start, 4
        COPYR R1, R2, R3
        INC R1
        FINC R1
        DEC R1
        FDEC R1
        ADD R0, R1, R2
        FADD R0, R1, R2
        SUB R0, R1, R2
        FSUB R0, R1, R2
        MULU R0, R1, R2
        MUL R0, R1, R2
        FMUL R0, R1, R2
        DIVU R0, R1, R2
        DIV R0, R1, R2
        FDIV R0, R1, R2
        SHL R0, R1, R2
        SHR R0, R1, R2
        SAR R0, R1, R2
        MODU R0, R1, R2
        MOD R0, R1, R2
        AND R0, R1, R2
        OR R0, R1, R2
        XOR R0, R1, R2
        NOT R0, R1
        NOPA R15
        NOPB R16
        ITOF R0, R1
        FTOI R0, R1
sub:    JMP start
        JMPR lr
        JZ R1, start
        JNZ R1, end
        JEQ R1, R2, start
        JNE R1, R2, start
        JGTU R1, R2, start
        JGT R1, R2, start
        JGEU R1, R2, start
        JGE R1, R2, start
        JLTU R1, R2, start
        JLT R1, R2, start
        JLEU R1, R2, start
        JLE R1, R2, start
        PRINTU R1, 1
        PRINTI R1, 0
        PRINTF R1, 255
        PUTC R1
        PUTS text
        PUTNL
        READU R1
        READI R1
        READF R1
        GETC R1
        GETS buffer, 16
        CMP R0, R1, R2
        CMPU R0, R1, R2
        FCMP R0, R1, R2
end:    HALT
)";

// Opcodes of the instructions found by walking the byte code from 0.
std::set<int> opcodesIn(const Bytes &bytes, size_t codeLength) {
    std::set<int> found;
    for (size_t at = 0; at < codeLength; at += mv::kInstructions[bytes[at]].length())
        found.insert(bytes[at]);
    return found;
}

std::string firstError(std::string_view source) {
    const mvasm::Program program = mvasm::assemble(source, "prog.s");
    EXPECT_FALSE(program.ok()) << source;
    EXPECT_TRUE(program.bytes.empty());
    return program.errors.empty() ? "" : program.errors.front();
}

TEST(Mvasm, AssemblesTheAddExampleToItsKnownBytes) {
    EXPECT_EQ(assembleForTest("LDI8 R1, 5\nLDI8 R2, 7\nADD R0, R1, R2\nHALT"),
              (Bytes{0x05, 0x01, 0x05, 0x05, 0x02, 0x07, 0x1F, 0x00, 0x01, 0x02, 0x01}));
}

TEST(Mvasm, EncodesOperandsLittleEndianAndResolvesForwardLabels) {
    const Bytes bytes = assembleForTest(R"(
        JMP  later        ; forward reference
        LDI32 R7, 0x01020304
        CALL later + 2
        INT  BIQUAD_NEW
        MOV  sp, lr
    later: HALT
    )");
    EXPECT_EQ(bytes, (Bytes{0x36, 0x11, 0x00, 0x03, 0x07, 0x04, 0x03, 0x02, 0x01, 0x0B, 0x13, 0x00,
                            0x02, 96, 0x06, 18, 19, 0x01}));
}

TEST(Mvasm, DataDirectives) {
    const mvasm::Program program = mvasm::assemble(R"(
    bytes:  .byte 1, -1, 0x7F
    halves: .half 0x1234, -2
    words:  .word bytes + 1, -1, 2.0
    floats: .float 1, -0.5
    text:   .string "a\n\"b\"", "\x41"
            .zero 2
    )");
    ASSERT_TRUE(program.ok());
    EXPECT_EQ(program.bytes,
              (Bytes{1,    0xFF, 0x7F, 0x34, 0x12, 0xFE, 0xFF, 1,   0,    0,    0, 0xFF, 0xFF,
                     0xFF, 0xFF, 0,    0,    0,    0x40, 0,    0,   0x80, 0x3F, 0, 0,    0,
                     0xBF, 'a',  '\n', '"',  'b',  '"',  0,    'A', 0,    0,    0}));
    EXPECT_EQ(program.address("halves"), 3u);
    EXPECT_EQ(program.address("text"), 27u);
    EXPECT_EQ(program.address("missing"), UINT32_MAX);
}

TEST(Mvasm, LabelsMayShareALineAndStandAlone) {
    const mvasm::Program program =
        mvasm::assemble("a: b: NOP\nc:\n  HALT ; done\n# only a comment");
    ASSERT_TRUE(program.ok());
    EXPECT_EQ(program.bytes, (Bytes{0, 1}));
    EXPECT_EQ(program.address("b"), 0u);
    EXPECT_EQ(program.address("c"), 1u);
}

TEST(Mvasm, EveryOpcodeRoundTripsThroughTheDisassembler) {
    const mvasm::Program program = mvasm::assemble(std::string(kEveryOpcode) + R"(
    table:  .word 0
    text:   .string "hello"
    buffer: .zero 16
    )");
    ASSERT_TRUE(program.ok()) << program.errors.front();
    const std::set<int> opcodes = opcodesIn(program.bytes, program.address("table"));
    EXPECT_EQ(opcodes.size(), size_t(mv::OPCODE_COUNT));

    const std::string listing = mvasm::disassemble(program.bytes.data(), program.bytes.size());
    const mvasm::Program again = mvasm::assemble(listing, "listing");
    ASSERT_TRUE(again.ok()) << again.errors.front() << "\n" << listing;
    EXPECT_EQ(again.bytes, program.bytes);
    EXPECT_EQ(mvasm::disassemble(again.bytes.data(), again.bytes.size()), listing);
}

// Each instruction alone in a buffer of its exact size: the disassembler
// reads no byte past the last operand (AddressSanitizer watches).
TEST(Mvasm, EveryInstructionDisassemblesAtTheVeryEndOfItsBuffer) {
    for (int op = 0; op < mv::OPCODE_COUNT; ++op) {
        auto bytes = std::make_unique<uint8_t[]>(mv::kInstructions[op].length());
        bytes[0] = uint8_t(op);
        const Bytes expected(bytes.get(), bytes.get() + mv::kInstructions[op].length());
        const std::string listing = mvasm::disassemble(bytes.get(), expected.size());
        EXPECT_EQ(mvasm::assemble(listing).bytes, expected) << listing;
    }
}

TEST(Mvasm, DisassemblyShowsAddressesAndKeepsUndecodableBytes) {
    const Bytes bytes = {0x05, 0x01, 0x05, 0x06, 0x00, 0x14, 0x52, 0x02, 0x11, 0x03, 0x01};
    const std::string listing = mvasm::disassemble(bytes.data(), bytes.size());
    EXPECT_NE(listing.find("LDI8 R1, 5"), std::string::npos);
    EXPECT_NE(listing.find("; 0000: 05 01 05"), std::string::npos);
    EXPECT_NE(listing.find(".byte 0x06"), std::string::npos) << "MOV with register 20";
    EXPECT_NE(listing.find(".byte 0x52"), std::string::npos) << "unknown opcode";
    EXPECT_NE(listing.find("INT SIN"), std::string::npos);
    EXPECT_NE(listing.find("; 0009: 03"), std::string::npos) << "truncated LDI32 at the end";
    const mvasm::Program again = mvasm::assemble(listing);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again.bytes, bytes);
}

TEST(Mvasm, RandomBytesRoundTrip) {
    uint32_t state = 12345;
    Bytes bytes(4096);
    for (uint8_t &byte : bytes) {
        state ^= state << 13, state ^= state >> 17, state ^= state << 5;
        byte = uint8_t(state % 3 ? state % 82 : state >> 24); // mostly opcodes, some noise
    }
    const mvasm::Program again = mvasm::assemble(mvasm::disassemble(bytes.data(), bytes.size()));
    ASSERT_TRUE(again.ok()) << again.errors.front();
    EXPECT_EQ(again.bytes, bytes);
}

TEST(Mvasm, NamesExactlyTheInterruptsTheEngineServes) {
    for (int number = 0; number < 256; ++number) {
        const std::string_view name = mvasm::interruptName(number);
        EXPECT_EQ(!name.empty(), mvDSPInterruptCallbacks[number] != nullptr) << number;
        if (!name.empty()) {
            EXPECT_EQ(mvasm::interruptNumber(name), number);
        }
    }
    EXPECT_EQ(mvasm::interruptNumber("biquad_lowpass"), 99);
    EXPECT_EQ(mvasm::interruptNumber("REVERB"), std::nullopt);
}

TEST(Mvasm, FloatImmediatesAreSinglePrecisionBits) {
    const Bytes bytes = assembleForTest("LDI32 R0, 0.1\n.float 3\n.word -2.5");
    const auto word = [&](size_t at) {
        return uint32_t(bytes[at] | bytes[at + 1] << 8 | bytes[at + 2] << 16) |
               uint32_t(bytes[at + 3]) << 24;
    };
    EXPECT_EQ(word(2), std::bit_cast<uint32_t>(0.1f));
    EXPECT_EQ(word(6), std::bit_cast<uint32_t>(3.0f));
    EXPECT_EQ(word(10), std::bit_cast<uint32_t>(-2.5f));
}

TEST(MvasmErrors, NameTheFileLineAndColumn) {
    EXPECT_EQ(firstError("NOP\n  FROB R1"), "prog.s:2:3: unknown mnemonic 'FROB'");
    EXPECT_EQ(firstError("MOV R1, R20"),
              "prog.s:1:9: expected a register (R0..R19, pc, fp, sp, lr), found 'R20'");
    EXPECT_EQ(firstError("PUSH 5"),
              "prog.s:1:6: expected a register (R0..R19, pc, fp, sp, lr), found '5'");
    EXPECT_EQ(firstError("JMP nowhere\nHALT"), "prog.s:1:5: undefined label 'nowhere'");
    EXPECT_EQ(firstError("LDI8 R0, 256"),
              "prog.s:1:10: value 256 is out of range for an 8-bit operand (-128..255)");
    EXPECT_EQ(firstError("JMP 70000"),
              "prog.s:1:5: value 70000 is out of range for an address (0..65535)");
    EXPECT_EQ(firstError("LDI16 R0, -40000"),
              "prog.s:1:11: value -40000 is out of range for a 16-bit operand (-32768..65535)");
    EXPECT_EQ(firstError("LDI32 R0, 0x100000000"),
              "prog.s:1:11: value 4294967296 is out of range for a 32-bit operand "
              "(-2147483648..4294967295)");
    EXPECT_EQ(firstError(".byte -129"),
              "prog.s:1:7: value -129 is out of range for an 8-bit operand (-128..255)");
    EXPECT_EQ(firstError("LDI8 R0, 1.5"),
              "prog.s:1:10: a float needs a 32-bit operand, not an 8-bit operand");
    EXPECT_EQ(firstError("INT COSINE"), "prog.s:1:5: unknown interrupt 'COSINE'");
    EXPECT_EQ(firstError("INT 256"),
              "prog.s:1:5: value 256 is out of range for an interrupt number (0..255)");
}

TEST(MvasmErrors, OperandShapeAndDefinitions) {
    EXPECT_EQ(firstError("ADD R0, R1"),
              "prog.s:1:11: ADD takes 3 operands (register, register, register)");
    EXPECT_EQ(firstError("HALT R0"), "prog.s:1:6: unexpected 'R0' after the operands");
    EXPECT_EQ(firstError("INC R1, R2"), "prog.s:1:7: INC takes 1 operand (register)");
    EXPECT_EQ(firstError("x: NOP\nx: NOP"), "prog.s:2:1: label 'x' is defined twice");
    EXPECT_EQ(firstError("sp: NOP"), "prog.s:1:1: 'sp' is a register name, not a label");
    EXPECT_EQ(firstError(".blob 1"), "prog.s:1:1: unknown directive '.blob'");
    EXPECT_EQ(firstError(".string 'a'"), "prog.s:1:9: expected a string in double quotes");
    EXPECT_EQ(firstError("LDI8 R0, 12x"), "prog.s:1:10: malformed number '12x'");
    EXPECT_EQ(firstError(".string \"open"), "prog.s:1:9: unterminated literal");
    EXPECT_EQ(firstError("NOP $"), "prog.s:1:5: unexpected character '$'");
    EXPECT_EQ(firstError(".word 0x7FFFFFFFFFFFFFFF + 0x7FFFFFFFFFFFFFFF"),
              "prog.s:1:28: the expression overflows 64-bit arithmetic");
    EXPECT_EQ(firstError(".word 0x7FFFFFFFFFFFFFFF + later\nlater: HALT"),
              "prog.s:1:28: the expression overflows 64-bit arithmetic");
}

TEST(MvasmErrors, AllErrorsAreReportedInSourceOrder) {
    const mvasm::Program program = mvasm::assemble("JMP missing\nBAD\nLDI8 R0, 300", "p");
    ASSERT_EQ(program.errors.size(), 3u);
    EXPECT_EQ(program.errors[0], "p:1:5: undefined label 'missing'");
    EXPECT_EQ(program.errors[1], "p:2:1: unknown mnemonic 'BAD'");
    EXPECT_EQ(program.errors[2].substr(0, 7), "p:3:10:");
}

// ---------------------------------------------------------------- command lines

#if defined(MVASM_PATH) && defined(MV_TONE_PATH)

struct CommandCase {
    const char *program;
    std::string arguments; // %s stands for a scratch directory
    int exitStatus;
    const char *said; // in standard output and error together
};

class ToolCommandLines : public ::testing::Test {
protected:
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("mvasm_test_" + std::to_string(::getpid()));
    void SetUp() override {
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "my-gain.mvs") << "start: HALT\n";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Exit status (-1 for a signal, as an abort is) and everything printed.
    std::pair<int, std::string> run(const char *program, std::string arguments) {
        for (size_t at; (at = arguments.find("%s")) != std::string::npos;)
            arguments.replace(at, 2, dir.string());
        const std::string said = (dir / "said.txt").string();
        const int status = std::system(
            ("cd " + dir.string() + " && " + program + " " + arguments + " >" + said + " 2>&1")
                .c_str());
        std::ifstream in(said);
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, text};
    }
};

TEST_F(ToolCommandLines, BadInputGetsAMessageAndAnExitStatus) {
    const CommandCase cases[] = {
        {MVASM_PATH, "%s", 1, "Is a directory"},
        {MVASM_PATH, "-d %s", 1, "Is a directory"},
        {MVASM_PATH, "--help", 0, "usage: mvasm"},
        {MVASM_PATH, "-c -n my-gain my-gain.mvs", 2, "must be a C identifier"},
        {MVASM_PATH, "-c -n int my-gain.mvs", 2, "must be a C identifier"},
        {MVASM_PATH, "-c my-gain.mvs", 0, "const uint8_t my_gain[]"},
        {MV_TONE_PATH, "abc", 2, "usage: mv_tone"},
        {MV_TONE_PATH, "440 1e300", 2, "usage: mv_tone"},
    };
    for (const CommandCase &c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.arguments);
        const auto [status, said] = run(c.program, c.arguments);
        EXPECT_EQ(status, c.exitStatus);
        EXPECT_NE(said.find(c.said), std::string::npos) << said;
    }
}

#endif

} // namespace
