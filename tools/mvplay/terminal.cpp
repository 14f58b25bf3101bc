#include "terminal.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

termios savedSettings;
volatile bool settingsChanged = false;

bool readByte(unsigned char &byte, int timeoutMs) {
    pollfd in{STDIN_FILENO, POLLIN, 0};
    return poll(&in, 1, timeoutMs) > 0 && read(STDIN_FILENO, &byte, 1) == 1;
}

// The key after an escape: arrows arrive as ESC [ A..D.
Key escapeSequence() {
    unsigned char bracket = 0, code = 0;
    if (!readByte(bracket, 10) || (bracket != '[' && bracket != 'O') || !readByte(code, 10))
        return Key::none;
    switch (code) {
    case 'A': return Key::louder;
    case 'B': return Key::quieter;
    case 'C': return Key::seekForward;
    case 'D': return Key::seekBack;
    default: return Key::none;
    }
}

} // namespace

void restoreTerminal() {
    if (settingsChanged) tcsetattr(STDIN_FILENO, TCSANOW, &savedSettings);
    settingsChanged = false;
}

KeyReader::KeyReader() {
    if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &savedSettings) != 0) return;
    termios keys = savedSettings;
    keys.c_lflag &= tcflag_t(~(ICANON | ECHO)); // Ctrl-C still raises SIGINT
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    std::atexit(restoreTerminal);
    settingsChanged = true;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &keys) == 0;
    if (!active_) settingsChanged = false;
}

KeyReader::~KeyReader() { restoreTerminal(); }

Key KeyReader::poll() {
    unsigned char byte = 0;
    if (!active_ || !readByte(byte, 0)) return Key::none;
    switch (byte) {
    case ' ': return Key::pause;
    case 'q':
    case 'Q': return Key::quit;
    case '+':
    case '=': return Key::louder;
    case '-':
    case '_': return Key::quieter;
    case 0x1B: return escapeSequence();
    default: return Key::none;
    }
}

std::string clockText(double seconds) {
    if (!std::isfinite(seconds) || seconds < 0.0) seconds = 0.0;
    const long tenths = std::lround(seconds * 10.0);
    const long hours = tenths / 36000, minutes = tenths / 600 % 60;
    const double rest = double(tenths % 600) / 10.0;
    char text[40];
    if (hours > 0) std::snprintf(text, sizeof text, "%ld:%02ld:%04.1f", hours, minutes, rest);
    else std::snprintf(text, sizeof text, "%ld:%04.1f", minutes, rest);
    return text;
}
