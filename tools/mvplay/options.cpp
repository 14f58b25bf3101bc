#include "options.h"

#include "dsp_option.h"
#include "marovel_audio.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kMinSampleRate = 1000;
constexpr int kMaxSampleRate = 768000;

bool parseDouble(const char *text, double &value) {
    char *end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(value);
}

bool parseInt(const char *text, int &value) {
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || parsed < -1 || parsed > 1 << 30) return false;
    value = int(parsed);
    return true;
}

bool parseFormat(const char *text, int &format) {
    for (int f = MV_FORMAT_FLOAT32; f <= MV_FORMAT_UINT8; ++f)
        if (const char *name = mvGetSampleFormatName(f); name && std::strcmp(name, text) == 0) {
            format = f;
            return true;
        }
    return false;
}

} // namespace

const char *usageText() {
    return "usage: mvplay [options] [--] FILE...\n"
           "Plays sound files (WAV, FLAC, Ogg, AIFF, ...) one after another without gaps,\n"
           "streaming them from disk.\n"
           "  --list-devices        list the output devices and exit\n"
           "  --device DEVICE       an index, an id or a unique part of a name (default:\n"
           "                        automatic, following the system default)\n"
           "  --start SECONDS       start this far into the queue\n"
           "  --loop                loop the queue\n"
           "  --loop-start SECONDS  where a loop starts again (with --loop)\n"
           "  --gain DB             gain in decibels\n"
           "  --rate FACTOR         playback rate (1 normal, 2 twice as fast)\n"
           "  --mono                mix to one channel\n"
           "  --no-downmix          play only the first channels of a file with more\n"
           "                        channels than the output, without folding the rest in\n"
           "  --no-interpolation    repeat frames instead of interpolating\n"
           "  --resampler NAME      standard (as interpolation says) or bandlimited\n"
           "  --fade MS             fade stops, pauses, seeks and jumps over MS (0 to 100)\n"
           "  --no-stream           load every file whole instead of streaming it\n"
           "  --render OUT          render to a file instead of a device: .wav .flac .ogg\n"
           "                        .aiff by the name, - for WAV on standard output\n"
           "  --sample-rate HZ      rate of the device or the rendered file (48000)\n"
           "  --format NAME         rendered sample format: float32 int32 int24 int16 int8\n"
           "                        uint8 (float32; int24 for FLAC)\n"
           "  --no-dither           no triangular dither when a render reduces to 16 or 8 bits\n"
           "  --duration SECONDS    stop after this long (needed to render a loop)\n"
           "  --demo                add a looping bed under its own fading mixer\n"
           "  --dsp PROGRAM         run a signal-processor program (.mvs source or the\n"
           "                        bytes mvasm assembles) on the player's mixer\n"
           "  --dsp-message WORDS   send it comma-separated words (repeatable)\n"
           "  -q, --quiet           no progress line\n"
           "  --version             show the version\n"
           "  --help                show this text\n"
           "Keys while playing on a terminal: space pause/resume, left/right seek 5 s,\n"
           "up/down or +/- volume, q quit.\n"
           "Exit status: 0 done, 1 engine or output error, 2 bad command line or nothing\n"
           "playable, 3 some files could not be read (the rest played), 130 interrupted.\n";
}

namespace {

// Options that only matter together with another one.
bool checkCombinations(const Options &options, std::string &error) {
    const struct {
        bool given;
        bool needed;
        const char *text;
    } rules[] = {
        {options.format >= 0, options.render, "--format only applies to --render"},
        {!options.dither, options.render, "--no-dither only applies to --render"},
        {options.loopStart >= 0.0, options.loop, "--loop-start needs --loop"},
        {!options.dspMessages.empty(), !options.dspPath.empty(), "--dsp-message needs --dsp"},
        {options.render && options.renderPath.empty(), false,
         "--render needs a file name (or - for standard output)"},
        {options.render && options.loop && options.duration < 0.0, false,
         "--loop with --render needs --duration"},
    };
    for (const auto &rule : rules)
        if (rule.given && !rule.needed) {
            error = rule.text;
            return false;
        }
    return true;
}

} // namespace

bool parseOptions(int argc, char **argv, Options &options, std::string &error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            options.files.push_back(arg);
            continue;
        }
        auto value = [&]() -> const char * {
            if (i + 1 < argc) return argv[++i];
            error = "option " + arg + " needs a value";
            return nullptr;
        };
        auto text = [&](std::string &out) {
            const char *v = value();
            if (v) out = v;
            return v != nullptr;
        };
        auto number = [&](double &out, bool (*valid)(double)) {
            const char *v = value();
            if (!v) return false;
            if (parseDouble(v, out) && valid(out)) return true;
            error = "bad value for " + arg + ": " + v;
            return false;
        };
        auto any = [](double) { return true; };
        auto positive = [](double v) { return v > 0.0; };
        auto nonNegative = [](double v) { return v >= 0.0; };
        bool ok = true;
        if (arg == "--") optionsEnded = true;
        else if (arg == "--help" || arg == "-h") options.help = true;
        else if (arg == "--version") options.version = true;
        else if (arg == "-q" || arg == "--quiet") options.quiet = true;
        else if (arg == "--list-devices") options.listDevices = true;
        else if (arg == "--loop") options.loop = true;
        else if (arg == "--mono") options.mono = true;
        else if (arg == "--no-interpolation") options.interpolation = false;
        else if (arg == "--no-downmix") options.downmix = false;
        else if (arg == "--no-dither") options.dither = false;
        else if (arg == "--no-stream") options.stream = false;
        else if (arg == "--demo") options.demo = true;
        else if (arg == "--loop-start") ok = number(options.loopStart, nonNegative);
        else if (arg == "--start") ok = number(options.start, nonNegative);
        else if (arg == "--gain") ok = number(options.gainDb, any);
        else if (arg == "--rate") ok = number(options.rate, positive);
        else if (arg == "--duration") ok = number(options.duration, positive);
        else if (arg == "--fade")
            ok = number(options.fadeMs, [](double v) { return v >= 0.0 && v <= 100.0; });
        else if (arg == "--resampler") {
            const char *v = value();
            ok = v && (std::string(v) == "standard" || std::string(v) == "bandlimited");
            if (ok) options.resampler = std::string(v) == "bandlimited";
            else if (v) error = std::string("unknown resampler: ") + v;
        } else if (arg == "--render") ok = (options.render = true) && text(options.renderPath);
        else if (arg == "--device") ok = text(options.device);
        else if (arg == "--dsp") ok = text(options.dspPath);
        else if (arg == "--sample-rate") {
            const char *v = value();
            int parsed = 0;
            ok = v && parseInt(v, parsed) && parsed >= kMinSampleRate && parsed <= kMaxSampleRate;
            if (ok) options.sampleRate = parsed;
            else if (v) error = "bad value for " + arg + ": " + v;
        } else if (arg == "--dsp-message") {
            const char *v = value();
            options.dspMessages.emplace_back();
            ok = v && parseDspWords(v, options.dspMessages.back(), error);
        } else if (arg == "--format") {
            const char *v = value();
            ok = v && parseFormat(v, options.format);
            if (!ok && v) error = std::string("unknown sample format: ") + v;
        } else {
            error = "unknown option: " + arg;
            ok = false;
        }
        if (!ok) return false;
    }
    if (options.help || options.version || options.listDevices) return true;
    if (options.files.empty()) {
        error = "no sound files given";
        return false;
    }
    return checkCombinations(options, error);
}
