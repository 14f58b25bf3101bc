// mvplay's signal-processor options: --dsp PROGRAM.mvs assembles a program
// and attaches it to the player's mixer, --dsp-message WORDS sends it a
// message (repeatable, sent in order).
#pragma once

#include "marovel_audio.h"

#include <cstdint>
#include <string>
#include <vector>

// Reads comma-separated words: integers (decimal or 0x hex) as they are,
// numbers with a point or an exponent (or inf, nan) as float bit patterns.
// False with a reason for anything else.
bool parseDspWords(const std::string &text, std::vector<int32_t> &words, std::string &error);

// Assembles the program, attaches it to machine and sends the messages.
// False after printing why (assembler errors with line and column).
bool attachDspProgram(MvMachine *machine, const std::string &path,
                      const std::vector<std::vector<int32_t>> &messages);

// Prints the program's failure, if it has one, with its routine, status and
// trace, to standard error. mvplay calls it once, when playback ends.
void reportDspFailure(MvMachine *machine);
