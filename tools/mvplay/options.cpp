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

bool parseDouble(const char *text, double &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && errno == 0 && std::isfinite(value);
}

bool parseInt(const char *text, int &value)
{
    char *end = nullptr;
    errno = 0;
    const long parsed = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || parsed < -1 || parsed > 1 << 30) return false;
    value = int(parsed);
    return true;
}

bool parseFormat(const char *text, int &format)
{
    for (int f = MV_FORMAT_FLOAT32; f <= MV_FORMAT_UINT8; ++f)
        if (const char *name = mvGetSampleFormatName(f); name && std::strcmp(name, text) == 0) {
            format = f;
            return true;
        }
    return false;
}

} // namespace

const char *usageText()
{
    return "usage: mvplay [options] FILE...\n"
           "Plays sound files (WAV, FLAC, Ogg, ...) one after another without gaps.\n"
           "  --list-devices        list the output devices and exit\n"
           "  --device N            play on device N (default: automatic)\n"
           "  --loop                loop the queue\n"
           "  --loop-start SECONDS  where a loop starts again\n"
           "  --gain DB             gain in decibels\n"
           "  --rate FACTOR         playback rate (1 normal, 2 twice as fast)\n"
           "  --mono                mix to one channel\n"
           "  --no-interpolation    repeat frames instead of interpolating\n"
           "  --resampler NAME      standard (as interpolation says) or bandlimited\n"
           "  --fade MS             fade stops, pauses, seeks and jumps over MS (0 to 100)\n"
           "  --render OUT.wav      render to a WAV file instead of a device\n"
           "  --sample-rate HZ      rate of the device or the rendered file (48000)\n"
           "  --format NAME         rendered sample format: float32 int32 int24 int16 int8\n"
           "                        uint8 (float32)\n"
           "  --duration SECONDS    stop after this long (needed to render a loop)\n"
           "  --demo                add a looping bed under its own fading mixer\n"
           "  --dsp PROGRAM.mvs     run a signal-processor program on the player's mixer\n"
           "  --dsp-message WORDS   send it comma-separated words (repeatable)\n"
           "  --help                show this text\n";
}

bool parseOptions(int argc, char **argv, Options &options, std::string &error)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char * {
            if (i + 1 < argc) return argv[++i];
            error = "option " + arg + " needs a value";
            return nullptr;
        };
        auto number = [&](double &out, bool (*valid)(double)) {
            const char *text = value();
            if (!text) return false;
            if (parseDouble(text, out) && valid(out)) return true;
            error = "bad value for " + arg + ": " + text;
            return false;
        };
        auto any = [](double) { return true; };
        auto positive = [](double v) { return v > 0.0; };
        auto nonNegative = [](double v) { return v >= 0.0; };
        bool ok = true;
        if (arg == "--help" || arg == "-h") options.help = true;
        else if (arg == "--list-devices") options.listDevices = true;
        else if (arg == "--loop") options.loop = true;
        else if (arg == "--mono") options.mono = true;
        else if (arg == "--no-interpolation") options.interpolation = false;
        else if (arg == "--demo") options.demo = true;
        else if (arg == "--loop-start") ok = number(options.loopStart, nonNegative);
        else if (arg == "--gain") ok = number(options.gainDb, any);
        else if (arg == "--rate") ok = number(options.rate, positive);
        else if (arg == "--duration") ok = number(options.duration, positive);
        else if (arg == "--fade")
            ok = number(options.fadeMs, [](double v) { return v >= 0.0 && v <= 100.0; });
        else if (arg == "--resampler") {
            const char *text = value();
            ok = text && (std::string(text) == "standard" || std::string(text) == "bandlimited");
            if (ok) options.resampler = std::string(text) == "bandlimited";
            else if (text) error = std::string("unknown resampler: ") + text;
        }
        else if (arg == "--render") {
            const char *text = value();
            ok = text != nullptr;
            if (ok) options.renderPath = text;
        } else if (arg == "--device" || arg == "--sample-rate") {
            const char *text = value();
            int parsed = 0;
            ok = text && parseInt(text, parsed);
            if (ok && arg == "--device") options.device = parsed;
            else if (ok && parsed >= kMinSampleRate && parsed <= kMaxSampleRate)
                options.sampleRate = parsed;
            else if (ok) ok = false;
            if (!ok && text) error = "bad value for " + arg + ": " + text;
        } else if (arg == "--dsp") {
            const char *text = value();
            ok = text != nullptr;
            if (ok) options.dspPath = text;
        } else if (arg == "--dsp-message") {
            const char *text = value();
            options.dspMessages.emplace_back();
            ok = text && parseDspWords(text, options.dspMessages.back(), error);
        } else if (arg == "--format") {
            const char *text = value();
            ok = text && parseFormat(text, options.format);
            if (!ok && text) error = std::string("unknown sample format: ") + text;
        } else if (arg.size() > 1 && arg[0] == '-') {
            error = "unknown option: " + arg;
            ok = false;
        } else {
            options.files.push_back(arg);
        }
        if (!ok) return false;
    }
    if (options.help || options.listDevices) return true;
    if (options.files.empty()) {
        error = "no sound files given";
        return false;
    }
    if (options.loop && !options.renderPath.empty() && options.duration < 0.0) {
        error = "--loop with --render needs --duration";
        return false;
    }
    return true;
}
