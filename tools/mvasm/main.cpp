// mvasm: assembles signal-processor programs into raw byte code or a C
// array, and disassembles byte code with addresses.
#include "mv_asm.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>

namespace {

constexpr int kBytesPerArrayLine = 12;

void usage(std::FILE *to) {
    std::fputs("usage: mvasm [-c] [-n NAME] [-o OUTPUT] SOURCE   assemble (raw bytes, or a C array "
               "with -c)\n"
               "       mvasm -d PROGRAM                         disassemble with addresses\n"
               "       mvasm --version\n"
               "       mvasm --help                             this text\n"
               "Raw output goes to SOURCE with the extension .bin unless -o says otherwise;\n"
               "C arrays and disassembly go to standard output unless -o says otherwise.\n"
               "NAME (default: from SOURCE) must be a C identifier.\n",
               to);
}

// Whole file through stdio, so that a directory or a read error is a
// message (errno) rather than a stream exception.
bool readFile(const std::string &path, std::string &contents) {
    std::FILE *file = std::fopen(path.c_str(), "rb");
    if (!file) return false;
    char buffer[1 << 14];
    while (const size_t n = std::fread(buffer, 1, sizeof buffer, file)) contents.append(buffer, n);
    const bool failed = std::ferror(file);
    std::fclose(file);
    return !failed;
}

std::string stem(const std::string &path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    return dot != std::string::npos && (slash == std::string::npos || dot > slash)
               ? path.substr(0, dot)
               : path;
}

bool isCKeyword(const std::string &word) {
    static const char *const kKeywords[] = {
        "auto",     "break",  "case",   "char",     "const",     "continue", "default",  "do",
        "double",   "else",   "enum",   "extern",   "float",     "for",      "goto",     "if",
        "inline",   "int",    "long",   "register", "restrict",  "return",   "short",    "signed",
        "sizeof",   "static", "struct", "switch",   "typedef",   "union",    "unsigned", "void",
        "volatile", "while",  "_Bool",  "_Complex", "_Imaginary"};
    for (const char *keyword : kKeywords)
        if (word == keyword) return true;
    return false;
}

// A name the C array can carry: letters, digits and underscores, not
// starting with a digit, and no keyword.
bool isCIdentifier(const std::string &name) {
    if (name.empty() || std::isdigit(uint8_t(name[0]))) return false;
    for (const char c : name)
        if (!std::isalnum(uint8_t(c)) && c != '_') return false;
    return !isCKeyword(name);
}

// A C identifier from the file name: letters, digits, underscores.
std::string arrayName(const std::string &path) {
    std::string base = stem(path);
    base = base.substr(base.find_last_of('/') + 1);
    for (char &c : base)
        if (!std::isalnum(uint8_t(c))) c = '_';
    if (!isCIdentifier(base)) base = "program_" + base;
    return base;
}

std::string cArray(const std::vector<uint8_t> &bytes, const std::string &name,
                   const std::string &source) {
    std::ostringstream out;
    out << "/* Signal-processor program assembled by mvasm from " << source << ". */\n"
        << "#include <stdint.h>\n\n"
        << "const uint8_t " << name << "[] = {";
    for (size_t i = 0; i < bytes.size(); ++i) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02X,", bytes[i]);
        out << (i % kBytesPerArrayLine ? " " : "\n    ") << text;
    }
    out << "\n};\nconst uint16_t " << name << "_length = " << bytes.size() << ";\n";
    return out.str();
}

bool writeOutput(const std::string &path, const std::string &data) {
    if (path.empty()) return std::fwrite(data.data(), 1, data.size(), stdout) == data.size();
    std::ofstream out(path, std::ios::binary);
    out.write(data.data(), std::streamsize(data.size()));
    return bool(out);
}

} // namespace

int main(int argc, char **argv) {
    bool disassembleMode = false, cOutput = false;
    std::string output, name, input;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--version") {
            std::printf("mvasm %s\n", MV_PROJECT_VERSION);
            return 0;
        }
        if (argument == "--help" || argument == "-h") {
            usage(stdout);
            return 0;
        }
        if (argument == "-d") disassembleMode = true;
        else if (argument == "-c") cOutput = true;
        else if ((argument == "-o" || argument == "-n") && i + 1 < argc)
            (argument == "-o" ? output : name) = argv[++i];
        else if (argument[0] != '-' && input.empty()) input = argument;
        else {
            usage(stderr);
            return 2;
        }
    }
    if (input.empty()) {
        usage(stderr);
        return 2;
    }
    if (!name.empty() && !isCIdentifier(name)) {
        std::fprintf(stderr,
                     "mvasm: -n %s: the array name must be a C identifier (letters, "
                     "digits and _, not starting with a digit, no keyword)\n",
                     name.c_str());
        return 2;
    }
    std::string contents;
    errno = 0;
    if (!readFile(input, contents)) {
        std::fprintf(stderr, "mvasm: cannot read %s: %s\n", input.c_str(), std::strerror(errno));
        return 1;
    }
    if (disassembleMode) {
        const auto *bytes = reinterpret_cast<const uint8_t *>(contents.data());
        return writeOutput(output, mvasm::disassemble(bytes, contents.size())) ? 0 : 1;
    }
    const mvasm::Program program = mvasm::assemble(contents, input);
    for (const std::string &error : program.errors) std::fprintf(stderr, "%s\n", error.c_str());
    if (!program.ok()) return 1;
    std::string data;
    if (cOutput) {
        data = cArray(program.bytes, name.empty() ? arrayName(input) : name, input);
    } else {
        data.assign(program.bytes.begin(), program.bytes.end());
        if (output.empty()) output = stem(input) + ".bin";
    }
    if (!writeOutput(output, data)) {
        std::fprintf(stderr, "mvasm: cannot write %s\n",
                     output.empty() ? "output" : output.c_str());
        return 1;
    }
    return 0;
}
