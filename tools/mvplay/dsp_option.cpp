#include "dsp_option.h"

#include "mv_asm.h"

#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

namespace {

// Room for the calls, frames and interrupt arguments of ordinary programs.
constexpr uint16_t kDspStackBytes = 1024;

bool parseWord(const std::string &text, int32_t &word) {
    const bool isFloat =
        text.find_first_of(".eEnN") != std::string::npos && text.find("0x") == std::string::npos;
    char *end = nullptr;
    errno = 0;
    if (isFloat) {
        word = std::bit_cast<int32_t>(std::strtof(text.c_str(), &end));
    } else {
        const long long value = std::strtoll(text.c_str(), &end, 0);
        if (value < INT32_MIN || value > UINT32_MAX) return false;
        word = int32_t(uint32_t(value));
    }
    return !text.empty() && end != nullptr && *end == '\0' && errno == 0;
}

} // namespace

bool parseDspWords(const std::string &text, std::vector<int32_t> &words, std::string &error) {
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        int32_t word = 0;
        if (!parseWord(item, word)) {
            error = "bad DSP message word: '" + item + "'";
            return false;
        }
        words.push_back(word);
    }
    return true;
}

namespace {

// mvasm's raw output (what the build makes of every .mvs), rather than
// assembly text: named .bin, or holding bytes no source text has.
bool isAssembled(const std::string &path, const std::string &contents) {
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".bin") == 0) return true;
    for (unsigned char c : contents)
        if (c == 0 || c >= 0x80) return true;
    return false;
}

bool readProgram(const std::string &path, std::vector<uint8_t> &bytes) {
    std::error_code error;
    std::ifstream in;
    if (std::filesystem::is_regular_file(path, error)) in.open(path, std::ios::binary);
    if (!in.is_open()) {
        std::fprintf(stderr, "mvplay: cannot read %s: not a readable file\n", path.c_str());
        return false;
    }
    const std::string contents{std::istreambuf_iterator<char>(in), {}};
    if (isAssembled(path, contents)) {
        bytes.assign(contents.begin(), contents.end());
    } else {
        const mvasm::Program program = mvasm::assemble(contents, path);
        for (const std::string &text : program.errors) std::fprintf(stderr, "%s\n", text.c_str());
        if (!program.ok()) return false;
        bytes = program.bytes;
    }
    if (bytes.empty() || bytes.size() > UINT16_MAX) {
        std::fprintf(stderr, "mvplay: %s: a program holds 1 to %d bytes\n", path.c_str(),
                     UINT16_MAX);
        return false;
    }
    return true;
}

} // namespace

bool attachDspProgram(MvMachine *machine, const std::string &path,
                      const std::vector<std::vector<int32_t>> &messages) {
    std::vector<uint8_t> bytes;
    if (!readProgram(path, bytes)) return false;
    int status =
        mvSetDSP(machine, uint16_t(bytes.size()), bytes.data(), kDspStackBytes, 0, nullptr);
    for (size_t i = 0; status == MV_OK && i < messages.size(); ++i)
        status = mvSendDSPMessage(machine, int32_t(messages[i].size()), messages[i].data());
    if (status != MV_OK) {
        std::fprintf(stderr, "mvplay: cannot attach %s: %s\n", path.c_str(),
                     mvGetErrorString(status));
        return false;
    }
    return true;
}

void reportDspFailure(MvMachine *machine) {
    uint8_t routine = 0, traceLength = 0;
    uint32_t registers[MV_DSP_REGISTER_COUNT] = {};
    uint16_t trace[MV_DSP_TRACE_CAPACITY] = {};
    const int status = mvGetDSPError(machine, &routine, registers, &traceLength, trace);
    if (status <= 0) return;
    std::fprintf(stderr, "mvplay: DSP program failed in the %s: %s (R0 = %d)\n  trace:",
                 mvGetDSPRoutineName(routine), mvGetDSPErrorString(uint32_t(status)),
                 int32_t(registers[0]));
    for (int i = 0; i < traceLength; ++i) std::fprintf(stderr, " 0x%04X", trace[i]);
    std::fprintf(stderr, "\n  (read the addresses against `mvasm -d` of the program)\n");
}
